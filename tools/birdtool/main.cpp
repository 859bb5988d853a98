// birdtool: builds BIRD firmware files from their parts and shows what a BIRD file holds.
#include "BirdFileReport.h"
#include "BirdRecipe.h"
#include "Debug.h"
#include "ToolOptions.h"
#include "ToolVersion.h"

#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

namespace {

const char* const kHelp = R"(Usage:
  birdtool create -o OUTPUT [DIRECTIVES...] [MANIFEST]
  birdtool show [--trace] FILE
  birdtool --help
  birdtool --version

create  builds a BIRD firmware file. Its blocks come from directives given on the command
        line (as --KEYWORD VALUES...) and from a manifest file (one directive per line), in
        the order given; the manifest's directives are applied where it appears.
show    prints the header, every block (type, flags, length, address), the info fields,
        the offsets, the checksum and whether the block walk matched. --trace also prints
        the reader's own trace. Exit status 1 when the file does not load.

Directives (numbers are decimal, or hexadecimal with a 0x prefix):
  header B4 B5           header bytes 4 and 5, 1 to 255 each [1 1]
  loader ADDRESS FILE    boot-loader block: load address, then the bytes of FILE
  firmware ADDRESS FILE  firmware block: load address, then the bytes of FILE
  flags N                flag bits (0 to 7) of the preceding loader or firmware block
  offsets S D            offsets block: image addresses of the serial number (S) and of
                         the USB serial-number descriptor text (D); 0 means absent
  text TEXT              info field 0, free text          } at most 16 characters each;
  version TEXT           info field 1, firmware version   } the info block is placed where
  serial TEXT            info field 2, serial number (hex)} the first of them appears
  model TEXT             info field 3, model name         }
  loader-start ADDRESS   start address of the boot loader
  block TYPE FILE        any other block type (0 to 31), payload taken from FILE
  checksum VALUE         write VALUE instead of the computed checksum

Manifest files: one directive per line, the keyword without dashes, values separated by
white space. The info texts take the rest of the line, so they may hold spaces. Blank
lines and lines starting with # are skipped. File names are relative to the manifest's
directory. Example:
  # 8 MiB firmware for an ABC module
  firmware 0x00000000 firmware.bin
  flags 1
  offsets 0x00000400 0x00000800
  version 1.2.3 build 7
  model ABC

The checksum is CRC-32 (as zlib computes it) over the block count and all block records.
Readers decompress at most 8 times the compressed size, so an image that would compress
better than that (long runs of erased flash) is stored without compression.
)";

int usageError(const std::string& message) {
    fprintf(stderr, "birdtool: %s\nTry 'birdtool --help'.\n", message.c_str());
    return 2;
}

using Corvane::Tools::OptionValues;
using Corvane::Tools::ToolOption;

// The error of a directive or option given without its values, as spelt.
std::string missingValue(const ToolOption& option, const std::string& word) {
    if (!option.valueName.empty()) {
        return word + " needs " + option.valueName;
    }
    return word + " needs " + std::to_string(option.values) + " value" +
           (option.values == 1 ? "" : "s");
}

std::string unknownOption(const std::string& word, bool) {
    return "unknown option " + word;
}

// -o, --manifest and every directive as --KEYWORD with its values.
std::vector<ToolOption> createOptions(BirdRecipe& recipe, std::string& output) {
    std::vector<ToolOption> table{
        {.name = "-o",
         .alias = "--output",
         .values = 1,
         .valueName = "a file name",
         .handler =
             [&output](OptionValues values) {
                 output = values[0];
                 return std::string();
             }},
        {.name = "--manifest",
         .values = 1,
         .valueName = "a file name",
         .handler =
             [&recipe](OptionValues values) {
                 std::string error;
                 return recipe.applyManifest(values[0], error) ? std::string() : error;
             }},
    };
    for (const std::string& keyword : BirdRecipe::keywords()) {
        table.push_back({.name = "--" + keyword,
                         .values = static_cast<size_t>(BirdRecipe::argumentCount(keyword)),
                         .handler = [&recipe, keyword](OptionValues values) {
                             std::string error;
                             const std::vector<std::string> arguments(values.begin(), values.end());
                             return recipe.apply(keyword, arguments, "", error) ? std::string()
                                                                                : error;
                         }});
    }
    return table;
}

int create(const std::vector<std::string>& args) {
    BirdRecipe recipe;
    std::string output;
    const Corvane::Tools::OptionRules rules{
        .unknown = unknownOption,
        .missingValue = missingValue,
        // A word that is no option names a manifest.
        .operand =
            [&recipe](const std::string& word) {
                std::string error;
                return recipe.applyManifest(word, error) ? std::string() : error;
            },
    };
    const auto walk = Corvane::Tools::walkOptions(createOptions(recipe, output), rules, args);
    if (walk.outcome == Corvane::Tools::OptionWalk::Outcome::Failed) {
        return usageError(walk.error);
    }
    if (output.empty()) {
        return usageError("create needs -o OUTPUT");
    }
    if (recipe.writer().blockCount() == 0) {
        return usageError("no blocks given");
    }
    std::string error;
    if (!recipe.writer().writeFile(output, error)) {
        fprintf(stderr, "birdtool: %s\n", error.c_str());
        return 1;
    }
    printf("birdtool: wrote %s (%zu blocks)\n", output.c_str(), recipe.writer().blockCount());
    return 0;
}

int show(const std::vector<std::string>& args) {
    std::string path;
    bool trace = false;
    const ToolOption table[] = {{.name = "--trace", .handler = Corvane::Tools::setsFlag(trace)}};
    const Corvane::Tools::OptionRules rules{
        .unknown = unknownOption,
        .missingValue = missingValue,
        .operand = [&path](const std::string& word) -> std::string {
            if (!path.empty()) {
                return "show takes one file";
            }
            path = word;
            return {};
        },
    };
    const auto walk = Corvane::Tools::walkOptions(table, rules, args);
    if (walk.outcome == Corvane::Tools::OptionWalk::Outcome::Failed) {
        return usageError(walk.error);
    }
    if (path.empty()) {
        return usageError("show needs a file");
    }
    if (trace) {
        Debug_SetSink(stderr);
        Debug_AddMask(DEBUG_BirdFile);
    }
    if (!BirdFile::isBirdFile(path)) {
        fprintf(stderr, "birdtool: warning: %s does not start with a valid BIRD header\n",
                path.c_str());
    }
    try {
        BirdFile bird(path);
        for (const std::string& line : describeBirdFile(bird)) {
            printf("%s\n", line.c_str());
        }
        if (bird.imageLength() >= 4) {
            const uint32_t crc = birdChecksum(bird.image(), bird.imageLength() - 4);
            printf("Checksum check: %s (CRC-32 of the block image is %08X)\n",
                   crc == bird.checksum() ? "matches" : "does not match", crc);
        }
    } catch (const std::exception& e) {
        fprintf(stderr, "birdtool: cannot load %s: %s%s\n", path.c_str(), e.what(),
                trace ? "" : " (--trace shows why)");
        return 1;
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (printToolVersion("birdtool", argc, argv))
        return 0;
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) {
        fputs(kHelp, stderr);
        return 2;
    }
    const std::string command = args.front();
    args.erase(args.begin());
    if (command == "--help" || command == "-h" || command == "help") {
        fputs(kHelp, stdout);
        return 0;
    }
    if (command == "create") {
        return create(args);
    }
    if (command == "show") {
        return show(args);
    }
    return usageError("unknown command " + command);
}
