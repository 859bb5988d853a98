// Formats a loaded BIRD file for people: every field the file holds, nothing interpreted away.
#include "BirdFileReport.h"
#include "FormattedText.h"
#include "PrintableText.h"

#include <cstdio>

namespace {

// Info fields are meant to be text; anything else is shown as '.' so the terminal stays sane.
std::string printable(const std::string& field) {
    std::string text = field;
    for (char& c : text) {
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7E) {
            c = '.';
        }
    }
    text.resize(BIRD_INFO_FIELD_SIZE, ' ');
    return text;
}

} // namespace

const char* birdBlockTypeName(uint8_t type) {
    switch (type) {
    case BIRD_BLOCK_LOADER: return "loader";
    case BIRD_BLOCK_FIRMWARE: return "firmware";
    case BIRD_BLOCK_OFFSETS: return "offsets";
    case BIRD_BLOCK_INFO: return "info";
    case BIRD_BLOCK_LOADER_START: return "loader start";
    default: return "unknown";
    }
}

std::vector<std::string> describeBirdFile(const BirdFile& bird) {
    std::vector<std::string> lines;
    lines.push_back("BIRD file: " + bird.filename());

    const uint32_t magic = bird.magic();
    std::string magicText;
    for (int shift = 24; shift >= 0; shift -= 8) {
        const char c = static_cast<char>((magic >> shift) & 0xFF);
        magicText += (c >= 0x20 && c <= 0x7E) ? c : '.';
    }
    lines.push_back(formatted("Header: magic %08X (\"%s\")%s, bytes 4 and 5: %02X %02X", magic,
                           magicText.c_str(), magic == BIRD_MAGIC ? "" : " NOT \"bird\"",
                           bird.header() >> 8, bird.header() & 0xFF));
    lines.push_back(formatted("Block image: %u bytes, %u blocks parsed, %u announced",
                           bird.imageLength(), bird.blockCount(), bird.reportedBlockCount()));

    lines.push_back("Blocks:");
    lines.push_back("     #  Type             Flags  Length      Address");
    size_t index = 0;
    for (const BirdBlock& block : bird.blocks()) {
        std::string address = "-";
        if (block.type == BIRD_BLOCK_LOADER || block.type == BIRD_BLOCK_FIRMWARE) {
            address = formatted("0x%08X", block.address);
        }
        lines.push_back(formatted("  %4zu  %02X %-13s %-6u %-11u %s", index++, block.type,
                               birdBlockTypeName(block.type), block.flags, block.length,
                               address.c_str()));
    }

    if (bird.hasInfo()) {
        static const char* const kNames[] = {"text", "version", "serial", "model"};
        for (size_t field = 0; field < BIRD_INFO_FIELDS; ++field) {
            std::string line = formatted("%s %-7s [%s]", field == 0 ? "Info:" : "     ", kNames[field],
                                      printable(bird.infoField(field)).c_str());
            if (field == 1) {
                line += " -> " + printableText(bird.version());
            } else if (field == 2) {
                line += formatted(" -> %08X", bird.infoSerialNumber());
            }
            lines.push_back(line);
        }
    } else {
        lines.push_back("Info: none");
    }

    if (bird.hasOffsets()) {
        lines.push_back(formatted("Offsets: serial number 0x%08X, descriptor 0x%08X",
                               bird.serialNumberOffset(), bird.descriptorOffset()));
    } else {
        lines.push_back("Offsets: none");
    }
    lines.push_back(formatted("Checksum: %08X", bird.checksum()));

    if (bird.parseMatched()) {
        lines.push_back("Block walk: matched (every announced block, no bytes left over)");
    } else {
        lines.push_back(formatted("Block walk: MISMATCH (%u of %u announced blocks parsed, %lld "
                               "bytes left over besides the checksum)",
                               bird.blockCount(), bird.reportedBlockCount(),
                               static_cast<long long>(bird.leftoverBytes())));
    }
    return lines;
}
