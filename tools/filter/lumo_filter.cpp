// lumo-filter: the tool that writes the engine's filter file
// ("config/filter.txt" beside the library), reads it back as text and checks
// it line by line, with the engine's own parser and limits.
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/files.h"
#include "rules/filter_file.h"
#include "rules/name_pattern.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitProblems = 1;  // check: some lines would be dropped, or the whole file
constexpr int kExitUsage = 2;     // bad command line
constexpr int kExitFailure = 3;   // unreadable input, cipher failure, write failure

// The help text; the limits in it are the engine's own constants.
std::string helpText() {
  const std::string largest = std::to_string(rules::kLargestFilterFile);
  return "Usage:\n"
         "  lumo-filter encode PLAIN_FILE OUTPUT_FILE\n"
         "      Enciphers a plain filter text into the file the engine reads.\n"
         "  lumo-filter decode FILTER_FILE [OUTPUT_FILE]\n"
         "      Deciphers a filter file; prints the text, or writes it to OUTPUT_FILE.\n"
         "  lumo-filter check [--plain] FILE\n"
         "      Lists every line the engine would drop, with its line number and why\n"
         "      (too few columns, unknown kind, bad address, bad pattern), and says\n"
         "      when the engine would not read the file at all. FILE is a filter\n"
         "      file, or plain text with --plain.\n"
         "  lumo-filter --help\n"
         "\n"
         "Plain text: one rule per line, columns separated by commas:\n"
         "  gameId,areaId,kind,...   (kinds 0 to 6; 0 in gameId or areaId means every one)\n"
         "\n"
         "Size: the engine reads a filter file of at most " +
         largest + " bytes (" + std::to_string(rules::kLargestFilterFile >> 20) +
         " MiB);\n"
         "it ignores a larger one and keeps the rules it had. encode refuses to write\n"
         "one.\n"
         "\n"
         "Patterns: a kind 0 or 3 name starting with \"][\" is a regular expression\n"
         "(ECMAScript syntax, case-insensitive) found anywhere in a queried name of\n"
         "at most " +
         std::to_string(rules::kLongestPatternSubject) +
         " characters. A line is dropped when its pattern uses\n"
         "back-references (\\1 to \\9) or look-ahead ((?= and (?!), has a repetition\n"
         "count above " +
         std::to_string(rules::kLargestRepeatCount) + ", holds more than " +
         std::to_string(rules::kLargestPatternSize) +
         " elements once its counted\n"
         "repetitions are written out (x{3} is xxx), or does not compile. A comma\n"
         "ends the column, so a pattern cannot hold one.\n"
         "\n"
         "Output files are written under a temporary name and renamed when complete,\n"
         "so a failed run never leaves a partial file behind.\n"
         "Exit status: 0 success, 1 check found lines or a file the engine would\n"
         "drop, 2 usage error, 3 unreadable input or failed write.\n";
}

int usage(const char* message) {
  std::fprintf(stderr, "lumo-filter: %s\n\n%s", message, helpText().c_str());
  return kExitUsage;
}

bool readInput(const std::string& path, std::string& contents) {
  if (!platform::readWholeFile(std::filesystem::u8path(path), contents)) {
    std::fprintf(stderr, "lumo-filter: cannot read %s\n", path.c_str());
    return false;
  }
  return true;
}

bool writeOutput(const std::string& path, const std::string& contents) {
  if (!platform::writeFileAtomically(std::filesystem::u8path(path), contents)) {
    std::fprintf(stderr, "lumo-filter: cannot write %s (nothing was written)\n", path.c_str());
    return false;
  }
  return true;
}

int encode(const std::string& input, const std::string& output) {
  std::string plain;
  if (!readInput(input, plain)) return kExitFailure;
  std::string file;
  std::string error;
  if (rules::EncipherFilterText(plain, file, error) != rules::CipherResult::kOk) {
    std::fprintf(stderr, "lumo-filter: cannot encipher: %s\n", error.c_str());
    return kExitFailure;
  }
  if (file.size() > rules::kLargestFilterFile) {
    std::fprintf(stderr,
                 "lumo-filter: the filter file would be %zu bytes; the engine reads at most %zu (nothing was "
                 "written)\n",
                 file.size(), rules::kLargestFilterFile);
    return kExitFailure;
  }
  return writeOutput(output, file) ? kExitOk : kExitFailure;
}

int decode(const std::string& input, const std::string* output) {
  std::string file;
  if (!readInput(input, file)) return kExitFailure;
  std::string plain;
  std::string error;
  rules::CipherResult result = rules::DecipherFilterFile(file, plain, error);
  if (result == rules::CipherResult::kFailed) {
    std::fprintf(stderr, "lumo-filter: cannot decipher %s: %s\n", input.c_str(), error.c_str());
    return kExitFailure;
  }
  if (result == rules::CipherResult::kNoProvider)
    std::fprintf(stderr, "lumo-filter: no cryptographic context; showing the decoded bytes as they are\n");
  if (output != nullptr) return writeOutput(*output, plain) ? kExitOk : kExitFailure;
  std::fwrite(plain.data(), 1, plain.size(), stdout);
  return std::fflush(stdout) == 0 ? kExitOk : kExitFailure;
}

int check(const std::string& input, bool plainInput) {
  std::string contents;
  std::string plain;
  if (plainInput) {
    if (!readInput(input, contents)) return kExitFailure;
    plain = std::move(contents);
    const size_t fileSize = rules::EncipheredFileSize(plain.size());
    if (fileSize > rules::kLargestFilterFile) {
      std::printf("%s: too large: enciphered it would be %zu bytes; the engine reads at most %zu\n",
                  input.c_str(), fileSize, rules::kLargestFilterFile);
      return kExitProblems;
    }
  } else {
    switch (rules::ReadFilterFile(std::filesystem::u8path(input), contents)) {
      case rules::FileReadResult::kRead:
        break;
      case rules::FileReadResult::kTooLarge: {
        std::error_code ec;
        const std::uintmax_t size = std::filesystem::file_size(std::filesystem::u8path(input), ec);
        std::printf(
            "%s: too large: %ju bytes; the engine reads at most %zu, ignores this file and keeps its "
            "previous rules\n",
            input.c_str(), ec ? std::uintmax_t{0} : size, rules::kLargestFilterFile);
        return kExitProblems;
      }
      case rules::FileReadResult::kMissing:
      case rules::FileReadResult::kUnreadable:
        std::fprintf(stderr, "lumo-filter: cannot read %s\n", input.c_str());
        return kExitFailure;
    }
    std::string error;
    if (rules::DecipherFilterFile(contents, plain, error) == rules::CipherResult::kFailed) {
      std::fprintf(stderr, "lumo-filter: cannot decipher %s: %s\n", input.c_str(), error.c_str());
      return kExitFailure;
    }
  }
  rules::FilterLists lists;
  std::vector<rules::DroppedLine> dropped;
  rules::ParseFilterText(plain, lists, &dropped);
  for (const rules::DroppedLine& line : dropped)
    std::printf("%s:%zu: dropped: %s\n", input.c_str(), line.lineNumber, line.detail.c_str());
  std::printf("%zu rules, %zu host rewrites, %zu port maps kept; %zu lines dropped\n", lists.records.size(),
              lists.hostRewrites.size(), lists.portMaps.size(), dropped.size());
  return dropped.empty() ? kExitOk : kExitProblems;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) return usage("no command given");
  const std::string& command = args[0];
  if (command == "--help" || command == "-h" || command == "help") {
    std::fputs(helpText().c_str(), stdout);
    return kExitOk;
  }
  if (command == "encode") {
    if (args.size() != 3) return usage("encode needs PLAIN_FILE and OUTPUT_FILE");
    return encode(args[1], args[2]);
  }
  if (command == "decode") {
    if (args.size() != 2 && args.size() != 3)
      return usage("decode needs FILTER_FILE and optionally OUTPUT_FILE");
    return decode(args[1], args.size() == 3 ? &args[2] : nullptr);
  }
  if (command == "check") {
    bool plainInput = args.size() == 3 && args[1] == "--plain";
    if (args.size() != 2 && !plainInput) return usage("check needs [--plain] FILE");
    return check(args.back(), plainInput);
  }
  return usage(("unknown command '" + command + "'").c_str());
}
