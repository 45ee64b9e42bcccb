// The report command: the figures of a site's access logs as text, one JSON result, or an HTML page.
#pragma once
#include "core/cli_args.h"

// report [--since T] [--until T] [--html FILE] [--addresses] SERVER_DIR LOG...: 0, 1 when the
// history or the HTML file cannot be used, 2 on a usage error.
int RunReport(const Args& args);
