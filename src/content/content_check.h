#pragma once
// The content check of a deleted file's data: does what comes back hold what the name
// promises? One verdict and a short reason.

#include <memory>
#include <string>
#include <vector>

#include "content/data_reader.h"

namespace relicta::content {

enum class Verdict { Ok, Mismatch, Zeroed, Damaged, Unknown };

// "ok", "mismatch", "zeroed", "damaged", "unknown": the JSON list's and manifest's words.
const char* VerdictName(Verdict verdict);

struct ContentResult {
    Verdict verdict = Verdict::Unknown;
    std::string detail;
};

// Checks files one after another; libmagic's database is loaded once per checker.
class ContentChecker {
  public:
    ContentChecker();
    ~ContentChecker();
    ContentChecker(const ContentChecker&) = delete;
    ContentChecker& operator=(const ContentChecker&) = delete;

    ContentResult Check(const std::string& name, DataReader& data);

  private:
    struct Magic;
    std::unique_ptr<Magic> magic_;
    std::vector<uint8_t> window_;  // every file's window, allocated once
};

}  // namespace relicta::content
