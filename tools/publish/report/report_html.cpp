// One HTML page that needs nothing else: the figures as a table, and three inline SVG pictures.
#include "report/report_build.h"
#include "report/report_writers.h"

#include <algorithm>
#include <cstdio>

namespace {

const char* const kColours[] = {"#2f6fb0", "#d9822b", "#3a9a5b", "#b0413e", "#7d5ba6", "#8c6d31", "#4d9fb3", "#c06c9a"};

std::string Escape(const std::string& text) {
    std::string out;
    for (char ch : text) {
        switch (ch) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            default: out += ch;
        }
    }
    return out;
}

std::string Num(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", value);
    return text;
}

std::string TreeOf(const ReleaseIndex& index, size_t r) {
    return static_cast<int>(r) == index.liveIndex ? "live" : static_cast<int>(r) == index.stageIndex ? "stage" : "kept";
}

// Addresses on each release at the end of each bin, one line per release that anyone held.
std::string AdoptionSvg(const ReleaseIndex& index, const Figures& figures) {
    const int width = 640, height = 220, left = 48, bottom = 190, top = 12;
    int64_t peak = 1;
    for (const auto& bin : figures.adoption)
        for (int64_t count : bin) peak = std::max(peak, count);
    std::string svg = "<svg width='" + std::to_string(width) + "' height='" + std::to_string(height + 24) +
                      "' role='img' aria-label='adoption per serial'>";
    svg += "<line x1='" + std::to_string(left) + "' y1='" + std::to_string(bottom) + "' x2='" +
           std::to_string(width - 8) + "' y2='" + std::to_string(bottom) + "' stroke='#888'/>";
    svg += "<text x='4' y='" + std::to_string(top + 8) + "' font-size='11'>" + std::to_string(peak) + "</text>";
    svg += "<text x='4' y='" + std::to_string(bottom) + "' font-size='11'>0</text>";
    if (!figures.adoption.empty()) {
        int64_t endMs = figures.adoptionStartMs + figures.adoptionBinMs * static_cast<int64_t>(figures.adoption.size());
        svg += "<text x='" + std::to_string(left) + "' y='" + std::to_string(bottom + 14) + "' font-size='11'>" +
               UtcText(figures.adoptionStartMs) + "</text><text x='" + std::to_string(width - 8) + "' y='" +
               std::to_string(bottom + 14) + "' font-size='11' text-anchor='end'>" + UtcText(endMs) + " UTC</text>";
    }
    size_t bins = figures.adoption.size();
    double step = bins > 0 ? static_cast<double>(width - 8 - left) / bins : 0;
    int legend = 0;
    for (size_t r = 0; r < index.releases.size(); ++r) {
        bool held = false;
        for (const auto& bin : figures.adoption) held = held || bin[r] > 0;
        if (!held) continue;
        std::string points;
        for (size_t b = 0; b < bins; ++b) {  // a step per bin: the count at its end holds across it
            double y = bottom - static_cast<double>(figures.adoption[b][r]) * (bottom - top) / peak;
            points += Num(left + step * b) + "," + Num(y) + " " + Num(left + step * (b + 1)) + "," + Num(y) + " ";
        }
        const char* colour = kColours[r % 8];
        svg +=
            "<polyline fill='none' stroke-width='2.5' stroke='" + std::string(colour) + "' points='" + points + "'/>";
        svg += "<rect x='" + std::to_string(left + legend * 150) + "' y='" + std::to_string(height + 4) +
               "' width='12' height='12' fill='" + colour + "'/><text x='" + std::to_string(left + legend * 150 + 16) +
               "' y='" + std::to_string(height + 15) + "' font-size='12'>serial " +
               std::to_string(index.releases[r].serial) + " (" + TreeOf(index, r) + ")</text>";
        ++legend;
    }
    return svg + "</svg>";
}

// Incomplete runs by the path where they stopped, all serials together, longest bar first.
std::string FailureSvg(const ReleaseIndex& index, const Figures& figures) {
    std::vector<std::pair<uint64_t, std::string>> bars;
    for (size_t r = 0; r < figures.releases.size(); ++r)
        for (const auto& stop : figures.releases[r].stoppedAt)
            bars.emplace_back(stop.second.runs,
                              "serial " + std::to_string(index.releases[r].serial) + " " + stop.first);
    std::sort(bars.begin(), bars.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
    if (bars.size() > 10) bars.resize(10);
    if (bars.empty()) return "<p>No run stopped.</p>";
    uint64_t peak = bars.front().first;
    std::string svg = "<svg width='640' height='" + std::to_string(bars.size() * 24 + 8) +
                      "' role='img' aria-label='failures by path'>";
    for (size_t i = 0; i < bars.size(); ++i) {
        int length = static_cast<int>(300.0 * bars[i].first / peak);
        std::string y = std::to_string(i * 24 + 4);
        svg += "<text x='0' y='" + std::to_string(i * 24 + 18) + "' font-size='12'>" + Escape(bars[i].second) +
               "</text><rect x='300' y='" + y + "' width='" + std::to_string(std::max(length, 2)) +
               "' height='18' fill='#b0413e'/><text x='" + std::to_string(306 + length) + "' y='" +
               std::to_string(i * 24 + 18) + "' font-size='12'>" + std::to_string(bars[i].first) + "</text>";
    }
    return svg + "</svg>";
}

// The stage's measured share as a bar, its target as a mark across it.
std::string ShareSvg(const ReleaseIndex& index, const Figures& figures) {
    if (index.stageIndex < 0) return "<p>No stage is open.</p>";
    double share = figures.shareAddresses ? 100.0 * figures.shareOnStage / figures.shareAddresses : 0.0;
    int measured = static_cast<int>(share * 5), target = index.stageShare * 5;
    return "<svg width='640' height='56' role='img' aria-label='stage share'>"
           "<rect x='20' y='10' width='500' height='22' fill='#e6e6e6'/><rect x='20' y='10' width='" +
           std::to_string(measured) + "' height='22' fill='#2f6fb0'/><line x1='" + std::to_string(20 + target) +
           "' y1='4' x2='" + std::to_string(20 + target) +
           "' y2='38' stroke='#d9822b' stroke-width='3'/>"
           "<text x='20' y='52' font-size='12'>measured " +
           PercentText(share) + " % of " + std::to_string(figures.shareAddresses) + " addresses, target " +
           std::to_string(index.stageShare) + " %</text></svg>";
}

}  // namespace

std::string ReportHtml(const std::string& serverDir, const ReleaseIndex& index, const Figures& figures,
                       bool showAddresses) {
    std::string html =
        "<!DOCTYPE html>\n<html lang='en'><head><meta charset='utf-8'><title>Quillor rollout report</title>"
        "<style>body{font-family:sans-serif;margin:24px;color:#222;max-width:1000px}"
        "table{border-collapse:collapse}td,th{border:1px solid #ccc;padding:3px 9px;text-align:right}"
        "th{background:#f0f0f0}td.l{text-align:left}h2{font-size:1.1em;margin-top:22px}</style></head><body>\n";
    html += "<h1>Rollout report</h1><p>" + Escape(serverDir) + ": " + std::to_string(figures.read.lines) + " log lines";
    if (figures.lastMs != 0) html += ", " + UtcText(figures.firstMs) + " to " + UtcText(figures.lastMs) + " UTC";
    html +=
        ".</p>\n<table id='serials'><tr><th>serial</th><th>tree</th><th>addresses</th><th>runs</th>"
        "<th>complete</th><th>incomplete</th><th>refused</th><th>up to date</th><th>failed</th></tr>\n";
    for (size_t r = 0; r < figures.releases.size(); ++r) {
        const ReleaseFigures& release = figures.releases[r];
        if (release.Runs() == 0 && release.addresses == 0) continue;
        html += "<tr><td>" + std::to_string(index.releases[r].serial) + "</td><td class='l'>" + TreeOf(index, r) +
                "</td><td>" + std::to_string(release.addresses) + "</td><td>" + std::to_string(release.Runs()) +
                "</td><td>" + std::to_string(release.complete) + "</td><td>" + std::to_string(release.incomplete) +
                "</td><td>" + std::to_string(release.refused) + "</td><td>" + std::to_string(release.upToDate) +
                "</td><td>" + PercentText(FailedPercent(release)) + " %</td></tr>\n";
    }
    html += "</table>\n<h2>Addresses on each serial over time</h2>\n" + AdoptionSvg(index, figures);
    html += "\n<h2>Where runs stopped</h2>\n" + FailureSvg(index, figures);
    html += "\n<h2>The stage's share against its target</h2>\n" + ShareSvg(index, figures);
    std::string errors;
    for (size_t r = 0; r < figures.releases.size(); ++r) {
        for (const auto& each : figures.releases[r].notFound)
            errors += "<li>serial " + std::to_string(index.releases[r].serial) + ": 404 on " + Escape(each.first) +
                      ": " + std::to_string(each.second) + "</li>";
        for (const auto& each : figures.releases[r].serverErrors)
            errors += "<li>serial " + std::to_string(index.releases[r].serial) + ": 5xx on " + Escape(each.first) +
                      ": " + std::to_string(each.second) + "</li>";
        for (const auto& each : figures.releases[r].stoppedAt)
            if (showAddresses && !each.second.addresses.empty()) {
                std::string list;
                for (const std::string& address : each.second.addresses) list += (list.empty() ? "" : ", ") + address;
                errors += "<li>stopped at " + Escape(each.first) + ": " + Escape(list) + "</li>";
            }
    }
    html += "\n<h2>Errors on listed paths</h2>\n" +
            (errors.empty() ? std::string("<p>None.</p>") : "<ul>" + errors + "</ul>");
    html += "\n<p>Bytes: edge " + ByteText(figures.edgeBytes) + ", origin to players " +
            ByteText(figures.originBytesToPlayers) + ", origin to edges " + ByteText(figures.originBytesToEdges) +
            ". Lines: " + std::to_string(figures.notJson) + " not JSON, " + std::to_string(figures.read.truncatedLast) +
            " truncated last, " + std::to_string(figures.read.gzipCut) + " gzip cut.</p>\n</body></html>\n";
    return html;
}
