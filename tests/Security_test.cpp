#include "Security.h"

#include <gtest/gtest.h>

#include <sddl.h>

#include <stdexcept>
#include <string>

namespace {

std::string toSddl(PSECURITY_DESCRIPTOR descriptor) {
    LPSTR text = nullptr;
    const SECURITY_INFORMATION everything =
        OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION | SACL_SECURITY_INFORMATION;
    if (!ConvertSecurityDescriptorToStringSecurityDescriptorA(descriptor, SDDL_REVISION_1, everything, &text,
                                                              nullptr)) {
        return "conversion failed";
    }
    const std::string sddl(text);
    LocalFree(text);
    return sddl;
}

} // namespace

TEST(SecurityDescriptor, AdministratorsOnlyAndNothingElse) {
    security::SecurityDescriptor descriptor(tstrings::StringBuilder("D:(A;;FA;;;BA)"));
    ASSERT_TRUE(IsValidSecurityDescriptor(descriptor.get()));
    EXPECT_EQ(GetSecurityDescriptorLength(descriptor.get()), descriptor.size());
    EXPECT_EQ("D:(A;;FA;;;BA)", toSddl(descriptor.get()));

    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    ASSERT_TRUE(GetSecurityDescriptorControl(descriptor.get(), &control, &revision));
    EXPECT_TRUE(control & SE_SELF_RELATIVE);
    EXPECT_FALSE(control & (SE_DACL_PROTECTED | SE_DACL_AUTO_INHERITED));

    PSID owner = reinterpret_cast<PSID>(1);
    PSID group = reinterpret_cast<PSID>(1);
    BOOL defaulted = FALSE;
    ASSERT_TRUE(GetSecurityDescriptorOwner(descriptor.get(), &owner, &defaulted));
    ASSERT_TRUE(GetSecurityDescriptorGroup(descriptor.get(), &group, &defaulted));
    EXPECT_EQ(nullptr, owner);
    EXPECT_EQ(nullptr, group);

    BOOL present = FALSE;
    PACL dacl = nullptr;
    ASSERT_TRUE(GetSecurityDescriptorDacl(descriptor.get(), &present, &dacl, &defaulted));
    ASSERT_TRUE(present);
    ASSERT_NE(nullptr, dacl);
    ASSERT_EQ(1u, dacl->AceCount);
    void* ace = nullptr;
    ASSERT_TRUE(GetAce(dacl, 0, &ace));
    const auto allowed = static_cast<const ACCESS_ALLOWED_ACE*>(ace);
    EXPECT_EQ(ACCESS_ALLOWED_ACE_TYPE, allowed->Header.AceType);
    // No inheritance: files created inside get the directory's ACL by the system's rules only.
    EXPECT_EQ(0, allowed->Header.AceFlags);
    EXPECT_EQ(static_cast<ACCESS_MASK>(FILE_ALL_ACCESS), allowed->Mask);

    BYTE sid[SECURITY_MAX_SID_SIZE];
    DWORD sidSize = sizeof sid;
    ASSERT_TRUE(CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, sid, &sidSize));
    EXPECT_TRUE(EqualSid(const_cast<DWORD*>(&allowed->SidStart), sid));
}

TEST(SecurityDescriptor, RejectedText) {
    try {
        security::SecurityDescriptor descriptor(tstrings::StringBuilder("D:(A;;FA;;;not a sid"));
        FAIL();
    } catch (const std::runtime_error& e) {
        const std::string what = e.what();
        EXPECT_NE(std::string::npos,
                  what.find(") at security::SecurityDescriptor::SecurityDescriptor(): "
                            "ConvertStringSecurityDescriptorToSecurityDescriptor failed. System error ["))
            << what;
    }
}
