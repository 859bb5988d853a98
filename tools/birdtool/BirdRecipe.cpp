// Directive parsing for "birdtool create": numbers, payload files and manifest lines.
#include "BirdRecipe.h"

#include <cctype>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <stdexcept>

namespace {

// Keyword → number of arguments. Info fields take one text (the rest of a manifest line).
const std::map<std::string, int>& directives() {
    static const std::map<std::string, int> table = {
        {"header", 2},  {"loader", 2},       {"firmware", 2}, {"flags", 1},
        {"offsets", 2}, {"text", 1},         {"version", 1},  {"serial", 1},
        {"model", 1},   {"loader-start", 1}, {"block", 2},    {"checksum", 1},
    };
    return table;
}

const std::map<std::string, size_t>& infoFields() {
    static const std::map<std::string, size_t> table = {
        {"text", 0}, {"version", 1}, {"serial", 2}, {"model", 3}};
    return table;
}

bool readPayload(const std::string& path, std::vector<uint8_t>& bytes, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot open " + path;
        return false;
    }
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (in.bad()) {
        error = "cannot read " + path;
        return false;
    }
    return true;
}

std::string resolve(const std::string& baseDirectory, const std::string& name) {
    if (baseDirectory.empty() || name.empty() || name.front() == '/') {
        return name;
    }
    return baseDirectory + "/" + name;
}

std::string trim(const std::string& text) {
    size_t start = 0;
    size_t end = text.size();
    while (start < end && std::isspace(static_cast<unsigned char>(text[start]))) {
        ++start;
    }
    while (end > start && std::isspace(static_cast<unsigned char>(text[end - 1]))) {
        --end;
    }
    return text.substr(start, end - start);
}

} // namespace

bool parseRecipeNumber(const std::string& text, uint32_t maximum, uint32_t& value) {
    std::string digits = text;
    int base = 10;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        digits = digits.substr(2);
        base = 16;
    }
    if (digits.empty() || digits.size() > 10) {
        return false;
    }
    uint64_t result = 0;
    for (char c : digits) {
        int digit;
        if (c >= '0' && c <= '9') {
            digit = c - '0';
        } else if (base == 16 && c >= 'a' && c <= 'f') {
            digit = c - 'a' + 10;
        } else if (base == 16 && c >= 'A' && c <= 'F') {
            digit = c - 'A' + 10;
        } else {
            return false;
        }
        result = result * static_cast<uint64_t>(base) + static_cast<uint64_t>(digit);
    }
    if (result > maximum) {
        return false;
    }
    value = static_cast<uint32_t>(result);
    return true;
}

int BirdRecipe::argumentCount(const std::string& keyword) {
    auto it = directives().find(keyword);
    return it == directives().end() ? -1 : it->second;
}

std::vector<std::string> BirdRecipe::keywords() {
    std::vector<std::string> all;
    for (const auto& [keyword, count] : directives()) {
        all.push_back(keyword);
    }
    return all;
}

bool BirdRecipe::apply(const std::string& keyword, const std::vector<std::string>& arguments,
                       const std::string& baseDirectory, std::string& error) {
    const int expected = argumentCount(keyword);
    if (expected < 0) {
        error = "unknown directive \"" + keyword + "\"";
        return false;
    }
    if (arguments.size() != static_cast<size_t>(expected)) {
        error = "\"" + keyword + "\" takes " + std::to_string(expected) + " value" +
                (expected == 1 ? "" : "s");
        return false;
    }
    auto numberFrom = [&](size_t index, uint32_t minimum, uint32_t maximum, uint32_t& value) {
        if (!parseRecipeNumber(arguments[index], maximum, value) || value < minimum) {
            error = "\"" + keyword + "\": \"" + arguments[index] + "\" is not a number from " +
                    std::to_string(minimum) + " to " + std::to_string(maximum);
            return false;
        }
        return true;
    };
    auto number = [&](size_t index, uint32_t maximum, uint32_t& value) {
        return numberFrom(index, 0, maximum, value);
    };
    try {
        uint32_t a = 0;
        uint32_t b = 0;
        std::vector<uint8_t> payload;
        if (keyword == "header") {
            // Readers refuse a zero header byte.
            if (!numberFrom(0, 1, 255, a) || !numberFrom(1, 1, 255, b)) {
                return false;
            }
            writer_.setHeader(static_cast<uint8_t>(a), static_cast<uint8_t>(b));
        } else if (keyword == "loader" || keyword == "firmware") {
            if (!number(0, UINT32_MAX, a) ||
                !readPayload(resolve(baseDirectory, arguments[1]), payload, error)) {
                return false;
            }
            if (keyword == "loader") {
                writer_.addLoader(a, payload);
            } else {
                writer_.addFirmware(a, payload);
            }
        } else if (keyword == "flags") {
            if (!number(0, 7, a)) {
                return false;
            }
            writer_.setLastFlags(static_cast<uint8_t>(a));
        } else if (keyword == "offsets") {
            if (!number(0, UINT32_MAX, a) || !number(1, UINT32_MAX, b)) {
                return false;
            }
            writer_.addOffsets(a, b);
        } else if (keyword == "loader-start") {
            if (!number(0, UINT32_MAX, a)) {
                return false;
            }
            writer_.addLoaderStart(a);
        } else if (keyword == "block") {
            if (!number(0, 31, a) ||
                !readPayload(resolve(baseDirectory, arguments[1]), payload, error)) {
                return false;
            }
            writer_.addBlock(static_cast<uint8_t>(a), 0, payload);
        } else if (keyword == "checksum") {
            if (!number(0, UINT32_MAX, a)) {
                return false;
            }
            writer_.overrideChecksum(a);
        } else {
            writer_.setInfoField(infoFields().at(keyword), arguments[0]);
        }
    } catch (const std::exception& e) {
        error = e.what();
        return false;
    }
    return true;
}

bool BirdRecipe::applyManifest(const std::string& path, std::string& error) {
    std::ifstream in(path);
    if (!in) {
        error = "cannot open manifest " + path;
        return false;
    }
    const size_t slash = path.find_last_of('/');
    const std::string baseDirectory = slash == std::string::npos ? ""
                                      : slash == 0               ? "/"
                                                                 : path.substr(0, slash);
    std::string line;
    for (int lineNumber = 1; std::getline(in, line); ++lineNumber) {
        const std::string content = trim(line);
        if (content.empty() || content.front() == '#') {
            continue;
        }
        std::istringstream words(content);
        std::string keyword;
        words >> keyword;
        std::vector<std::string> arguments;
        if (infoFields().count(keyword) != 0) {
            std::string rest;
            std::getline(words, rest);
            arguments.push_back(trim(rest));
        } else {
            for (std::string word; words >> word;) {
                arguments.push_back(word);
            }
        }
        std::string reason;
        if (!apply(keyword, arguments, baseDirectory, reason)) {
            error = path + ":" + std::to_string(lineNumber) + ": " + reason;
            return false;
        }
    }
    return true;
}
