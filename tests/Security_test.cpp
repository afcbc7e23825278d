#include "Security.h"

#include <gtest/gtest.h>

#include <sddl.h>

#include <stdexcept>
#include <string>

TEST(SecurityDescriptor, OwnsTheWholeSelfRelativeDescriptor) {
    security::SecurityDescriptor descriptor(tstrings::StringBuilder("D:P(A;OICI;FA;;;BA)"));
    ASSERT_TRUE(IsValidSecurityDescriptor(descriptor.get()));
    EXPECT_EQ(GetSecurityDescriptorLength(descriptor.get()), descriptor.size());
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    ASSERT_TRUE(GetSecurityDescriptorControl(descriptor.get(), &control, &revision));
    EXPECT_TRUE(control & SE_SELF_RELATIVE);
    EXPECT_TRUE(control & SE_DACL_PROTECTED);
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

TEST(TokenFacts, OfThisProcess) {
    const security::TokenFacts facts = security::currentTokenFacts();
    // The user's SID as the account database gives it.
    char name[256];
    DWORD nameSize = sizeof name;
    ASSERT_TRUE(GetUserNameA(name, &nameSize));
    BYTE sid[SECURITY_MAX_SID_SIZE];
    DWORD sidSize = sizeof sid;
    char domain[256];
    DWORD domainSize = sizeof domain;
    SID_NAME_USE use = SidTypeUnknown;
    ASSERT_TRUE(LookupAccountNameA(nullptr, name, sid, &sidSize, domain, &domainSize, &use));
    LPSTR text = nullptr;
    ASSERT_TRUE(ConvertSidToStringSidA(sid, &text));
    EXPECT_EQ(std::string(text), facts.userSid);
    LocalFree(text);
    EXPECT_FALSE(facts.system);

    // Only an elevated token has the Administrators group enabled; a filtered one denies it.
    BYTE administrators[SECURITY_MAX_SID_SIZE];
    sidSize = sizeof administrators;
    ASSERT_TRUE(CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &sidSize));
    BOOL member = FALSE;
    ASSERT_TRUE(CheckTokenMembership(nullptr, administrators, &member));
    EXPECT_EQ(member != FALSE, facts.elevated);
}
