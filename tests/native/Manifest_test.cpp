#include "Manifest.h"

#include "PackTestSupport.h"

#include <gtest/gtest.h>

using packtest::manifestAsking;

TEST(Manifest, FindsTheLevelOfTheFirstRequestedExecutionLevel) {
    const std::string admin = "<requestedExecutionLevel level=\"requireAdministrator\" uiAccess=\"false\"/>";
    const std::string highest = "<requestedExecutionLevel level=\"highestAvailable\" uiAccess=\"false\"/>";
    const struct {
        const char* name;
        std::string resource;
        const char* level; // nullptr: none found
    } cases[] = {
        {"plain", manifestAsking(admin), "requireAdministrator"},
        {"prefixed element, single quotes, spaces",
         manifestAsking("<ms_asmv3:requestedExecutionLevel\n uiAccess='false' level = 'highestAvailable' />"),
         "highestAvailable"},
        {"commented-out element first", manifestAsking("<!-- " + admin + " -->\n" + highest), "highestAvailable"},
        {"in CDATA first", manifestAsking("<x><![CDATA[" + admin + "]]></x>" + highest), "highestAvailable"},
        {"another element's level", manifestAsking("<other level=\"requireAdministrator\"/>"), nullptr},
        {"none", manifestAsking(""), nullptr},
        {"UTF-8 byte-order mark", "\xEF\xBB\xBF" + manifestAsking(admin), "requireAdministrator"},
        {"UTF-16 with characters beyond ASCII", "", "requireAdministrator"},
    };
    for (const auto& c : cases) {
        std::string resource = c.resource;
        if (resource.empty()) {
            // "<!-- Zürich -->" before the element, little-endian with its byte-order mark.
            const std::string text = "<!-- Z\xFCrich -->" + manifestAsking(admin);
            resource = "\xFF\xFE";
            for (const char ch : text) {
                resource += ch;
                resource += '\0';
            }
        }
        const std::string text = manifest::toText(resource);
        const manifest::LevelPlace place = manifest::findExecutionLevel(text);
        ASSERT_EQ(c.level != nullptr, place.found) << c.name;
        if (c.level != nullptr) {
            EXPECT_EQ(c.level, text.substr(place.begin, place.length)) << c.name;
        }
    }
}

TEST(Manifest, CanonicalLevelIgnoresAsciiCaseOnly) {
    EXPECT_EQ("requireAdministrator", manifest::canonicalLevel("RequireADMINISTRATOR"));
    EXPECT_EQ("asInvoker", manifest::canonicalLevel("asinvoker"));
    for (const char* other : {"", "admin", "asInvoker ", "highestAvailabl"}) {
        EXPECT_EQ("", manifest::canonicalLevel(other)) << other;
    }
}
