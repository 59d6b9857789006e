// Result codes, model names and packed versions
#include <gtest/gtest.h>

#include <cstring>

#include "aDefs.h"
#include "aError.h"
#include "aVersion.h"

TEST(aError, TextsCoverTheTableAndClampBeyondIt) {
    EXPECT_STREQ(aError_GetErrorText(aErrNone), "aErrNone");
    EXPECT_STREQ(aError_GetErrorDescription(aErrNone), "Success, no error");
    EXPECT_STREQ(aError_GetErrorText(aErrShortCommand), "aErrShortCommand");
    EXPECT_STREQ(aError_GetErrorDescription(aErrShortCommand), "Corvane command to short");
    EXPECT_STREQ(aError_GetErrorText(aErrStreamStale), "aErrStreamStale");
    EXPECT_EQ(int(aErrUnknown), 34);
    for (uint32_t code : {35u, 1000u, 0xFFFFFFFFu}) {
        EXPECT_STREQ(aError_GetErrorText(aErr(code)), "aErrUnknown");
        EXPECT_STREQ(aError_GetErrorDescription(aErr(code)), "Unknown error");
    }
}

TEST(aDefs, SeventeenModelsHaveShortNamesWithoutSpaces) {
    int known = 0;
    for (uint32_t model = 0; model < 300; model++) {
        const char* name = aDefs_GetModelName(model);
        bool expected = model == 4 || model == 5 || (model >= 13 && model <= 27);
        if (!expected) {
            EXPECT_STREQ(name, "Unknown") << model;
            continue;
        }
        known++;
        EXPECT_STRNE(name, "Unknown") << model;
        EXPECT_EQ(strchr(name, ' '), nullptr) << name;
        EXPECT_LE(strlen(name), 12u) << name; // the device list gives the model 12 columns
    }
    EXPECT_EQ(known, 17);
}

struct PackedCase {
    uint32_t packed;
    bool legacy;
    int major, minor;
    uint32_t patch;
    const char* text;
};

TEST(aVersion, ParsesBothLayouts) {
    const PackedCase cases[] = {
        {0x2F000000, false, 0, 0, 0, "0.0.0"},       {0x2E000001, true, 2, 14, 1, "2.14.1"},
        {0x30010203, false, 1, 2, 3, "1.2.3"},       {0x1200ABCD, true, 1, 2, 43981, "1.2.43981"},
        {0x2C000005, true, 2, 12, 5, "2.12.5"},      {0x2F020F00, false, 2, 15, 0, "2.15.0"},
        {0xFF0A0B0C, false, 10, 11, 12, "10.11.12"},
    };
    for (const PackedCase& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(aVersion_IsLegacyFormat(c.packed), c.legacy);
        EXPECT_EQ(aVersion_ParseMajor(c.packed), c.major);
        EXPECT_EQ(aVersion_ParseMinor(c.packed), c.minor);
        EXPECT_EQ(aVersion_ParsePatch(c.packed), c.patch);
        char buf[32];
        aVersion_ParseString(c.packed, buf, sizeof buf);
        EXPECT_STREQ(buf, c.text);
    }
}

TEST(aVersion, PacksEachSideOfTheLayoutBoundary) {
    EXPECT_EQ(aVersion_Pack(2, 12, 5), 0x2C000005u);
    EXPECT_EQ(aVersion_Pack(2, 14, 7), 0x2E000007u);
    EXPECT_EQ(aVersion_Pack(2, 15, 7), 0x2F020F07u);
    EXPECT_EQ(aVersion_Pack(2, 15, 0), 0x2F020F00u);
    EXPECT_EQ(aVersion_Pack(3, 1, 2), 0x2F030102u);
    for (int major : {0, 1, 2, 3, 9, 255})
        for (int minor : {0, 9, 14, 15, 200})
            for (int patch : {0, 1, 255}) {
                uint32_t p = aVersion_Pack(uint8_t(major), uint8_t(minor), uint8_t(patch));
                if (major <= 2 && minor > 15) continue; // not representable in the legacy layout
                EXPECT_EQ(aVersion_ParseMajor(p), major);
                EXPECT_EQ(aVersion_ParseMinor(p), minor);
                EXPECT_EQ(aVersion_ParsePatch(p), uint32_t(patch));
            }
}

TEST(aVersion, ComparesAndReportsItself) {
    EXPECT_TRUE(aVersion_IsAtLeastCompare(2, 12, 2, 2, 12, 2));
    EXPECT_FALSE(aVersion_IsAtLeastCompare(2, 12, 2, 2, 13, 0));
    EXPECT_TRUE(aVersion_IsAtLeastCompare(3, 0, 0, 2, 255, 255));
    EXPECT_FALSE(aVersion_IsAtLeastCompare(2, 12, 1, 2, 12, 2));
    EXPECT_TRUE(aVersion_IsAtLeast(2, 12, 2));
    EXPECT_FALSE(aVersion_IsAtLeast(2, 12, 3));
    EXPECT_STREQ(aVersion_GetString(), "2.12.2");
    EXPECT_EQ(aVersion_GetString(), aVersion_GetString());
    EXPECT_TRUE(aVersion_HasFeature("VERSION"));
    EXPECT_FALSE(aVersion_HasFeature("version"));
    EXPECT_FALSE(aVersion_HasFeature(nullptr));
    char* list = aVersion_GetFeatureList();
    ASSERT_NE(list, nullptr);
    EXPECT_STREQ(list, "VERSION - Version Query API");
    aVersion_DestroyFeatureList(&list);
    EXPECT_EQ(list, nullptr);
    aVersion_DestroyFeatureList(&list);
}
