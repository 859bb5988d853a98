// Attribute files: KEY=value lines, read leniently and written back whole in key order.
#include "AttributeFile.h"

#include "AtomicFile.h"
#include "Debug.h"
#include "RegularFile.h"

#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace {

// Far above any real attribute file; a bigger one is not read (and so never replaced).
constexpr size_t kMaxFileBytes = size_t{16} << 20;
constexpr const char* kDefaultPath = ".settings";

bool isSpace(char c) {
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}

} // namespace

std::string attributeTimeNow() {
    static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const time_t now = time(nullptr);
    struct tm local {};
    if (localtime_r(&now, &local) == nullptr) {
        return {};
    }
    // ctime's own layout, spelled out so the locale can never change it.
    char text[64];
    snprintf(text, sizeof text, "%.3s %.3s%3d %.2d:%.2d:%.2d %d", kDays[local.tm_wday % 7],
             kMonths[local.tm_mon % 12], local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
             local.tm_year + 1900);
    return text;
}

AttributeFile::AttributeFile(const std::string& path) {
    read(path);
}

void AttributeFile::read(const std::string& path) {
    int error = 0;
    const aErr err = load(path, error);
    if (err == aErrNone) {
        return;
    }
    Debug_Print(DEBUG_Attributes, "Attibutes: Error - cannot open attributes file: '%s' (%d)\n",
                path.c_str(), error);
    if (err != aErrNotFound) {
        // Something is there that could not be read: writing over it would lose it.
        path_ = path;
        unreadable_ = true;
        return;
    }
    // A new file records only when it was made, so this entry does not make it dirty.
    entries_[ATTR_CREATED_TIME] = attributeTimeNow();
    write(path);
}

bool AttributeFile::readExisting(const std::string& path) {
    int error = 0;
    return load(path, error) == aErrNone;
}

aErr AttributeFile::load(const std::string& path, int& error) {
    // Whole, so no line is ever too long to be kept.
    std::string text;
    const aErr err = readRegularFile(path, kMaxFileBytes, text, &error);
    if (err == aErrMode) {
        Debug_Print(DEBUG_Attributes, "Attibutes: Error - '%s' is not a regular file\n",
                    path.c_str());
    } else if (err == aErrSize) {
        Debug_Print(DEBUG_Attributes, "Attibutes: Error - '%s' is larger than %zu bytes\n",
                    path.c_str(), kMaxFileBytes);
    }
    if (err != aErrNone) {
        return err;
    }
    path_ = path;
    dirty_ = false;
    unreadable_ = false;

    size_t begin = 0;
    while (begin < text.size()) {
        size_t next = text.find('\n', begin);
        next = next == std::string::npos ? text.size() : next + 1;
        parseLine(std::string_view(text).substr(begin, next - begin));
        begin = next;
    }
    return aErrNone;
}

void AttributeFile::parseLine(std::string_view line) {
    const size_t length = line.size();
    if (length < 3 || line[0] == '#') {
        return;
    }
    size_t start = 0;
    while (start < length && isSpace(line[start])) {
        ++start;
    }
    const size_t equals = line.find('=', start);
    if (equals == std::string_view::npos) {
        return; // no '=': not an entry
    }
    size_t keyEnd = equals;
    while (keyEnd > start && isSpace(line[keyEnd - 1])) {
        --keyEnd;
    }
    size_t valueStart = equals + 1;
    size_t valueEnd = length;
    while (valueStart < valueEnd && isSpace(line[valueStart])) {
        ++valueStart;
    }
    while (valueEnd > valueStart && isSpace(line[valueEnd - 1])) {
        --valueEnd;
    }
    entries_[std::string(line.substr(start, keyEnd - start))] =
        std::string(line.substr(valueStart, valueEnd - valueStart));
}

bool AttributeFile::set(const std::string& key, const std::string& value) {
    auto it = entries_.find(key);
    const bool changed = it == entries_.end() ? !value.empty() : it->second != value;
    if (changed) {
        dirty_ = true;
    }
    entries_[key] = value;
    return true;
}

bool AttributeFile::set(const std::string& key, const char* value) {
    return set(key, std::string(value != nullptr ? value : ""));
}

int AttributeFile::getInt(const std::string& key, int defaultValue) {
    auto it = entries_.find(key);
    if (it == entries_.end()) {
        entries_.emplace(key, std::string());
        return defaultValue;
    }
    if (it->second.empty()) {
        return defaultValue;
    }
    // atoi's reading (leading digits, optional sign) without its undefined overflow.
    const long value = std::strtol(it->second.c_str(), nullptr, 10);
    if (value > INT_MAX) {
        return INT_MAX;
    }
    if (value < INT_MIN) {
        return INT_MIN;
    }
    return static_cast<int>(value);
}

std::string AttributeFile::getString(const std::string& key,
                                     const std::string& defaultValue) const {
    auto it = entries_.find(key);
    return it == entries_.end() ? defaultValue : it->second;
}

aErr AttributeFile::write() {
    if (path_.empty()) {
        path_ = kDefaultPath;
        Debug_Print(DEBUG_Attributes,
                    "Attibutes: no filename given for attributes, using default:[%s]\n",
                    path_.c_str());
    }
    return write(path_);
}

aErr AttributeFile::write(const std::string& path) {
    if (unreadable_ && path == path_) {
        Debug_Print(DEBUG_Attributes,
                    "Attibutes: Error - '%s' could not be read, so it is not replaced\n",
                    path.c_str());
        return aErrNotFound;
    }
    path_ = path;
    unreadable_ = false;
    if (dirty_) {
        entries_[ATTR_UPDATED_TIME] = attributeTimeNow();
    }
    std::string text;
    for (const auto& [key, value] : entries_) {
        text += key;
        text += '=';
        text += value;
        text += '\n';
    }
    int error = 0;
    const aErr err = writeFileAtomically(path_, text.data(), text.size(), &error);
    if (err == aErrNotFound) {
        Debug_Print(DEBUG_Attributes,
                    "Attibutes: Error - cannot open attributes file for writting: '%s' (%d)\n",
                    path_.c_str(), error);
        return err;
    }
    if (err != aErrNone) {
        Debug_Print(DEBUG_Attributes,
                    "Attibutes: Error - cannot write attributes file: '%s' (%d)\n", path_.c_str(),
                    error);
        return err;
    }
    dirty_ = false;
    return aErrNone;
}
