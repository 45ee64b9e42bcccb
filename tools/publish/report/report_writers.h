// The report's three forms: one screen of text, one JSON object, one self-contained HTML page.
#pragma once
#include "report/figures.h"
#include "report/release_index.h"

#include <string>

std::string ReportText(const std::string& serverDir, const ReleaseIndex& index, const Figures& figures);
// Every figure as one JSON object; addresses appear only with showAddresses.
std::string ReportJson(const ReleaseIndex& index, const Figures& figures, bool showAddresses);
// No script, no font, no request: inline SVG and CSS only.
std::string ReportHtml(const std::string& serverDir, const ReleaseIndex& index, const Figures& figures,
                       bool showAddresses);

// "2026-12-09 02:00:00" (UTC) of milliseconds since 1970.
std::string UtcText(int64_t ms);
// "1.2 MB", "512 B".
std::string ByteText(uint64_t bytes);
// "23.1" (one decimal).
std::string PercentText(double percent);
