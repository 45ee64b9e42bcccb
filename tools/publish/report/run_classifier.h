// Turns the updater's requests, address by address, into runs: complete, incomplete, refused, up to date.
#pragma once
#include "report/figures.h"
#include "report/log_record.h"
#include "report/release_index.h"

#include <memory>

struct ClassifierOptions {
    int64_t sinceMs = INT64_MIN, untilMs = INT64_MAX;  // [since, until): windows meet without overlap
    int64_t stageOpenedMs = 0;  // manifest answers from then on count for the stage's share
    bool keepAddresses = false;
};

struct Classifier;

// The classifier owns index (it caches diffs in it); figures fill as lines come.
std::unique_ptr<Classifier, void (*)(Classifier*)> NewClassifier(ReleaseIndex& index, const ClassifierOptions& options);

// One log line; lines that are not records are counted.
void ClassifyLine(Classifier& classifier, std::string_view line);

// Ends every run still open and returns the figures.
Figures FinishClassifier(Classifier& classifier);
