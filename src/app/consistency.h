#pragma once
// Consistency checks: an assumption about on-disk data or our own arithmetic that did not
// hold. The user chooses to end the program (status 1) or to go on as if it had held.
//
//   CONSISTENCY_CHECK(cond)              reports the condition's own text
//   CONSISTENCY_CHECK_TEXT(cond, text)   reports `text`
//
// Both evaluate to the condition's value, so a caller may take a safe path after Ignore.

#include <string>
#include <string_view>

#ifndef RELICTA_MODULE
#define RELICTA_MODULE "relicta"
#endif

namespace relicta::app {

// Shows the report; 1 for abort, 0 to continue.
int ReportConsistencyFailure(std::string_view module, int line, std::string_view text);

// The report's text.
std::string ConsistencyMessage(std::string_view module, int line, std::string_view text);

// Reports a failed check and ends the process on Abort; returns `holds`.
bool CheckConsistency(bool holds, const char* module, int line, const char* text);

// Failed checks the user chose to go on from, since the program started or the last reset.
int IgnoredConsistencyFailures();
void ResetConsistencyFailures();

}  // namespace relicta::app

// A check that holds costs only its condition: the reporter is called when it fails.
#define CONSISTENCY_CHECK(cond) \
    (static_cast<bool>(cond) || \
     ::relicta::app::CheckConsistency(false, RELICTA_MODULE, __LINE__, #cond))
#define CONSISTENCY_CHECK_TEXT(cond, text) \
    (static_cast<bool>(cond) ||            \
     ::relicta::app::CheckConsistency(false, RELICTA_MODULE, __LINE__, text))
