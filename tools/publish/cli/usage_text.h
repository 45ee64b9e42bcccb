// The usage text of each command of quillor-publish, and the one table of exit codes.
#pragma once

extern const char kOverviewHead[];
extern const char kCommonText[];
extern const char kExitText[];
extern const char kKeygenUsage[];
extern const char kPublishUsage[];
extern const char kStageUsage[];
extern const char kRevertUsage[];
extern const char kHistoryUsage[];
extern const char kPruneUsage[];
extern const char kWidenUsage[];
extern const char kPromoteUsage[];
extern const char kStatusUsage[];
extern const char kDiffUsage[];
extern const char kVerifyUsage[];
extern const char kServeUsage[];
extern const char kSiteUsage[];
extern const char kReportUsage[];
extern const char kBlobUsage[];
extern const char kHelpUsage[];
