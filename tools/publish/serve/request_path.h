// Turns a raw HTTP request target into the names of a file inside the served tree, or refuses it.
#pragma once
#include <string>
#include <vector>

enum class TargetVerdict { File, NotFound, BadRequest };

// Sample: "/files/data/Erste%20Karte.pak?x=1" -> {"files", "data", "Erste Karte.pak"}.
// Refused as BadRequest: a target not starting with "/", a malformed "%" escape, and after
// decoding a NUL, a backslash, an empty name ("//") or a "." or ".." name. "/" and a trailing
// "/" are NotFound (there is no listing). The query is ignored.
TargetVerdict SplitRequestTarget(const std::string& target, std::vector<std::string>& names);
