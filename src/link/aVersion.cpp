// Packed firmware version words and the library's own version and feature list.
#include "corvane/aVersion.h"

#include "CorvaneVersion.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr uint8_t libraryMajor = CORVANE_VERSION_MAJOR;
constexpr uint8_t libraryMinor = CORVANE_VERSION_MINOR;
constexpr uint32_t libraryPatch = CORVANE_VERSION_PATCH;

// Top byte of a word packed in the current layout.
constexpr uint32_t currentLayoutTag = 0x2F000000u;

struct Feature {
    const char* name;
    const char* description;
};
constexpr Feature features[] = {{"VERSION", "Version Query API"}};

bool isAtLeast(uint8_t major1, uint8_t minor1, uint32_t patch1, uint8_t major2, uint8_t minor2,
               uint32_t patch2) {
    if (major1 != major2)
        return major1 > major2;
    if (minor1 != minor2)
        return minor1 > minor2;
    return patch1 >= patch2;
}

} // namespace

uint32_t aVersion_Pack(uint8_t major, uint8_t minor, uint32_t patch) {
    // Both layouts keep one byte of the patch when packing, so a larger patch cannot spill into
    // the minor field.
    const uint32_t patchByte = patch & 0xFFu;
    if (major < 2 || (major == 2 && minor < 15))
        return ((static_cast<uint32_t>(major) << 4 | (minor & 0xFu)) << 24) | patchByte;
    return currentLayoutTag | static_cast<uint32_t>(major) << 16 |
           static_cast<uint32_t>(minor) << 8 | patchByte;
}

bool aVersion_IsLegacyFormat(uint32_t version) {
    const uint32_t high = version >> 28;
    const uint32_t low = (version >> 24) & 0xFu;
    return high < 2 || (high == 2 && low < 15);
}

uint8_t aVersion_ParseMajor(uint32_t version) {
    return static_cast<uint8_t>(aVersion_IsLegacyFormat(version) ? version >> 28 : version >> 16);
}

uint8_t aVersion_ParseMinor(uint32_t version) {
    return static_cast<uint8_t>(aVersion_IsLegacyFormat(version) ? (version >> 24) & 0xFu
                                                                 : version >> 8);
}

uint32_t aVersion_ParsePatch(uint32_t version) {
    return aVersion_IsLegacyFormat(version) ? version & 0xFFFFFFu : version & 0xFFu;
}

int aVersion_ParseString(uint32_t version, char* buffer, size_t size) {
    if (!buffer || size == 0)
        return -1;
    const int length = snprintf(buffer, size, "%u.%u.%u", aVersion_ParseMajor(version),
                                aVersion_ParseMinor(version), aVersion_ParsePatch(version));
    if (length < 0 || static_cast<size_t>(length) >= size) {
        buffer[0] = '\0';
        return -1;
    }
    return length;
}

uint8_t aVersion_GetMajor(void) {
    return libraryMajor;
}
uint8_t aVersion_GetMinor(void) {
    return libraryMinor;
}
uint32_t aVersion_GetPatch(void) {
    return libraryPatch;
}

const char* aVersion_GetString(void) {
    // Filled once under the guard of a function-local static, so concurrent first calls are safe.
    static const struct Text {
        char text[15];
        Text() : text{} {
            snprintf(text, sizeof text, "%u.%u%s%u", libraryMajor, libraryMinor, ".", libraryPatch);
        }
    } version;
    return version.text;
}

bool aVersion_IsAtLeast(uint8_t major, uint8_t minor, uint32_t patch) {
    return isAtLeast(libraryMajor, libraryMinor, libraryPatch, major, minor, patch);
}

bool aVersion_IsAtLeastCompare(uint8_t major1, uint8_t minor1, uint32_t patch1, uint8_t major2,
                               uint8_t minor2, uint32_t patch2) {
    return isAtLeast(major1, minor1, patch1, major2, minor2, patch2);
}

bool aVersion_HasFeature(const char* name) {
    if (!name)
        return false;
    for (const Feature& feature : features)
        if (strcmp(name, feature.name) == 0)
            return true;
    return false;
}

char* aVersion_GetFeatureList(void) {
    // Lines of "NAME - Description", allocated with malloc so C callers could free it too.
    size_t length = 0;
    for (const Feature& feature : features)
        length += strlen(feature.name) + 3 + strlen(feature.description) + 1;
    char* list = static_cast<char*>(malloc(length + 1));
    if (!list)
        return nullptr;
    list[0] = '\0';
    size_t used = 0;
    for (size_t i = 0; i < sizeof features / sizeof features[0]; ++i)
        used +=
            static_cast<size_t>(snprintf(list + used, length + 1 - used, "%s%s - %s", i ? "\n" : "",
                                         features[i].name, features[i].description));
    return list;
}

aErr aVersion_DestroyFeatureList(char** list) {
    if (!list)
        return aErrParam;
    free(*list);
    *list = nullptr;
    return aErrNone;
}
