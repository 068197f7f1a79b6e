#pragma once
// The one report a user gets of a volume's unreadable sectors: which, and what they cost.

#include <string>

#include "platform/unreadable.h"
#include "volume/vcb.h"

namespace relicta::volume {

inline constexpr const char* kUnreadableSectorsCaption = "Unreadable Sectors";

// The report for drive `letter`; empty when every sector read.
std::string UnreadableSectorsText(char letter, const platform::UnreadableRuns& runs,
                                  const ReadLosses& losses);

// Shows the open volume's report through the dialogs; false when every sector read.
bool ReportUnreadableSectors();

}  // namespace relicta::volume
