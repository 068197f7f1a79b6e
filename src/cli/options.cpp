#include "cli/options.h"

#include <algorithm>
#include <cctype>
#include <optional>
#include <string>
#include <vector>

namespace relicta::cli {
namespace {

bool Contains(const std::vector<std::string>& list, const std::string& item) {
    return std::find(list.begin(), list.end(), item) != list.end();
}

std::optional<app::CheckPolicy> ParsePolicy(const std::string& text) {
    if (text == "ask")
        return app::CheckPolicy::Ask;
    if (text == "abort")
        return app::CheckPolicy::Abort;
    if (text == "ignore")
        return app::CheckPolicy::Ignore;
    return std::nullopt;
}

// A --mapfile maps the image of the --volume before it or, with none, the PATH argument.
std::string TakeMapfile(Options& o, const std::string& mapfile) {
    if (mapfile.empty()) {
        return "--mapfile needs a file name";
    }
    std::string& slot = o.volumes.empty() ? o.argumentMapfile : o.volumeMapfiles.back();
    if (!slot.empty()) {
        return "two map files for " +
               (o.volumes.empty() ? std::string("the PATH argument") : o.volumes.back()) + ": " +
               slot + " and " + mapfile;
    }
    slot = mapfile;
    return {};
}

}  // namespace

ParseResult ParseCommandLine(const std::vector<std::string>& args,
                             const std::vector<std::string>& valued,
                             const std::vector<std::string>& flags) {
    ParseResult result;
    Options& o = result.options;
    if (args.empty()) {
        result.error = "no command given";
        return result;
    }
    o.command = args[0];
    for (std::size_t i = 1; i < args.size(); ++i) {
        std::string arg = args[i];
        if (arg.rfind("--", 0) != 0 || arg == "--") {
            o.arguments.push_back(arg);
            continue;
        }
        std::optional<std::string> value;
        if (const std::size_t eq = arg.find('='); eq != std::string::npos) {
            value = arg.substr(eq + 1);
            arg.resize(eq);
        }
        const std::string name = arg.substr(2);
        const bool takesValue =
            name == "volume" || name == "mapfile" || name == "on-check" || Contains(valued, name);
        if (!takesValue) {
            if (!Contains(flags, name) || value) {
                result.error = "unknown option " + args[i];
                return result;
            }
            o.named.emplace_back(name, "");
            continue;
        }
        if (!value) {
            if (i + 1 >= args.size()) {
                result.error = "option --" + name + " needs a value";
                return result;
            }
            value = args[++i];
        }
        if (name == "volume") {
            o.volumes.push_back(*value);
            o.volumeMapfiles.emplace_back();
        } else if (name == "mapfile") {
            result.error = TakeMapfile(o, *value);
            if (!result.error.empty()) {
                return result;
            }
        } else if (name == "on-check") {
            o.onCheck = ParsePolicy(*value);
            if (!o.onCheck) {
                result.error = "--on-check takes ask, abort or ignore, not " + *value;
                return result;
            }
        } else {
            o.named.emplace_back(name, *value);
        }
    }
    if (!o.argumentMapfile.empty() && o.arguments.size() != 1) {
        result.error = "--mapfile " + o.argumentMapfile +
                       " maps no image: give it after the --volume it maps, or with one PATH";
    }
    return result;
}

std::string NamedValue(const Options& options, const std::string& name,
                       const std::string& fallback) {
    // The last of repeated options wins.
    for (auto it = options.named.rbegin(); it != options.named.rend(); ++it) {
        if (it->first == name) {
            return it->second.empty() ? "1" : it->second;
        }
    }
    return fallback;
}

std::vector<std::string> NamedValues(const Options& options, const std::string& name) {
    std::vector<std::string> values;
    for (const auto& [n, value] : options.named) {
        if (n == name) {
            values.push_back(value);
        }
    }
    return values;
}

namespace {

constexpr const char* kFilterOptions[] = {"kind",           "min-condition", "min-size",
                                          "max-size",       "found-by",      "modified-after",
                                          "modified-before"};

}  // namespace

CommandOptions OptionsOf(const std::string& command) {
    CommandOptions options;
    if (command == "scan") {
        options = {{"pattern", "format", "output", "resume"},
                   {"skip-temp", "check-content", "deep", "no-carve"}};
    } else if (command == "recover") {
        options = {{"pattern", "to", "item", "manifest"},
                   {"skip-temp", "all", "keep-paths", "yes", "deep", "no-carve", "partial"}};
    } else {
        return options;
    }
    for (const char* filter : kFilterOptions) {
        options.valued.emplace_back(filter);
    }
    return options;
}

namespace {

struct CommandText {
    const char* name;
    const char* usage;  // the lines after "usage: "
    const char* summary;
    std::vector<const char*> options;
};

const std::vector<CommandText>& Commands() {
    static const std::vector<CommandText> commands = {
        {"drives",
         "relicta drives [--volume [L=]PATH [--mapfile FILE]]... [--on-check=ask|abort|ignore]\n",
         "list the drives and what each volume holds",
         {"volume", "mapfile", "on-check"}},
        {"info",
         "relicta info [--volume [L=]PATH [--mapfile FILE]]... [--on-check=...] [DRIVE|PATH]...\n",
         "geometry of a volume, with the clusters and MFT records in use",
         {"volume", "mapfile", "on-check"}},
        {"scan",
         "relicta scan [--volume [L=]PATH [--mapfile FILE]]...\n"
         "                    [--deep [--no-carve] [--resume FILE]]\n"
         "                    [--pattern P] [--skip-temp] [--check-content] [FILTER]...\n"
         "                    [--format tsv|json|bodyfile] [--output FILE] [--on-check=...]\n"
         "                    [DRIVE|PATH]\n",
         "list the deleted files of one drive, or of every drive",
         {"volume", "mapfile", "deep", "no-carve", "resume", "pattern", "skip-temp",
          "check-content", "kind", "min-condition", "min-size", "max-size", "modified-after",
          "modified-before", "found-by", "format", "output", "on-check"}},
        {"recover",
         "relicta recover [--volume [L=]PATH [--mapfile FILE]]... [--deep [--no-carve]]\n"
         "                    --to DIR [--item N]... [--all] [--pattern P] [--skip-temp]\n"
         "                    [FILTER]... [--keep-paths] [--partial] [--manifest FILE] [--yes]\n"
         "                    [--on-check=...] [DRIVE|PATH]\n",
         "scan as scan does, then copy the chosen files out into DIR",
         {"volume",        "mapfile",    "deep",     "no-carve",       "to",
          "item",          "all",        "pattern",  "skip-temp",      "kind",
          "min-condition", "min-size",   "max-size", "modified-after", "modified-before",
          "found-by",      "keep-paths", "partial",  "manifest",       "yes",
          "on-check"}},
    };
    return commands;
}

const char* OptionText(const std::string& name) {
    static const std::vector<std::pair<std::string, const char*>> options = {
        {"volume",
         "  --volume [L=]PATH   attach an image file or block device as drive L (default: the\n"
         "                      next free letter from C); a partitioned image gives one drive\n"
         "                      per FAT, exFAT or NTFS partition. Without --volume the block\n"
         "                      devices of this machine are listed.\n"},
        {"mapfile",
         "  --mapfile FILE      GNU ddrescue's map of the image the --volume before it names\n"
         "                      (or, with none, of PATH): what ddrescue did not rescue is read\n"
         "                      as unreadable, never as the zeros the image holds there\n"},
        {"on-check",
         "  --on-check=POLICY   answer to failed consistency checks when nobody can be asked\n"},
        {"deep",
         "  --deep              read the whole drive too (what its file system does not use):\n"
         "                      the files of a formatted volume, of a lost boot sector or\n"
         "                      partition table, under their old names and folders; and\n"
         "                      files with no entry left, by their content (carving)\n"},
        {"no-carve", "  --no-carve          with --deep: no carving, old file systems only\n"},
        {"resume",
         "  --resume FILE       with --deep: go on from the checkpoint FILE where a deep scan\n"
         "                      stopped (or was killed), listing what a scan that never\n"
         "                      stopped lists. A deep scan saves its checkpoint every five\n"
         "                      minutes in FILE.checkpoint beside --output FILE, else in\n"
         "                      relicta-DRIVE.checkpoint in the current directory; it goes\n"
         "                      when the scan ends\n"},
        {"pattern",
         "  --pattern P         only names matching P (* any run, ? makes the letter before "
         "optional)\n"},
        {"skip-temp",
         "  --skip-temp         skip files in temporary directories and temporary files\n"},
        {"check-content",
         "  --check-content     read each listed file's data: does it hold what its name\n"
         "                      promises? (JSON: content and content_detail; bodyfile: MD5)\n"},
        {"kind",
         "  --kind K            only files of kind K: pictures, documents, audio, video,\n"
         "                      archives or other (by extension, or by what the content check\n"
         "                      found the data to be); repeat or join with commas for several\n"},
        {"min-condition",
         "  --min-condition C   only files whose condition is at least C: excellent, good,\n"
         "                      poor or hopeless\n"},
        {"min-size",
         "  --min-size N        only files of at least N bytes (K, M, G: KiB, MiB, GiB)\n"},
        {"max-size", "  --max-size N        only files of at most N bytes\n"},
        {"modified-after",
         "  --modified-after D  only files modified at or after D (2024-06-01 or\n"
         "                      2024-06-01T13:05, the volume's local time)\n"},
        {"modified-before", "  --modified-before D only files modified before D\n"},
        {"found-by",
         "  --found-by F        only files found by F: entry (a deleted entry), old (an old\n"
         "                      file system a deep scan found) or carved; commas for several\n"},
        {"format",
         "  --format F          tsv (the saved-list format), json (one object per line) or\n"
         "                      bodyfile (The Sleuth Kit's, for mactime -b)\n"},
        {"output", "  --output FILE       write the list to FILE instead of standard output\n"},
        {"to", "  --to DIR            where recovered files go (created when missing)\n"},
        {"item", "  --item N            recover the file the scan listed as item N (repeatable)\n"},
        {"all", "  --all               recover every listed file\n"},
        {"keep-paths", "  --keep-paths        recreate each file's old directory under DIR\n"},
        {"partial",
         "  --partial           also write files that cross unreadable sectors, at full size\n"
         "                      with those sectors as zeros (the manifest lists them)\n"},
        {"manifest",
         "  --manifest FILE     write a JSON line per file tried: where it went, its SHA-256,\n"
         "                      condition, content check and result\n"},
        {"yes", "  --yes               answer every question with yes (OK)\n"},
    };
    for (const auto& [option, text] : options) {
        if (option == name) {
            return text;
        }
    }
    return "";
}

}  // namespace

std::string UsageText() {
    std::string text;
    for (const CommandText& c : Commands()) {
        text += (text.empty() ? "usage: " : "       ") + std::string(c.usage);
    }
    text += "\n";
    for (const CommandText& c : Commands()) {
        text += "  " + std::string(c.name) + std::string(9 - std::string(c.name).size(), ' ') +
                c.summary + "\n";
    }
    text += "\n  relicta COMMAND --help   the options of one command\n";
    text += "  relicta --version        the version\n";
    return text;
}

std::optional<std::string> CommandHelp(const std::string& command) {
    for (const CommandText& c : Commands()) {
        if (c.name == command) {
            std::string summary = c.summary;
            summary[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(summary[0])));
            std::string text = "usage: " + std::string(c.usage) + "\n" + summary + ".\n\n";
            for (const char* option : c.options) {
                text += OptionText(option);
            }
            return text;
        }
    }
    return std::nullopt;
}

std::string UsageHint(const std::string& command) {
    return CommandHelp(command) ? "Try 'relicta " + command + " --help'.\n"
                                : std::string("Try 'relicta --help'.\n");
}

}  // namespace relicta::cli
