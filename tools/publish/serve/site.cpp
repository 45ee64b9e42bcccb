// Fills the shipped nginx site and Varnish VCL in for one server folder, refusing what either would misread.
#include "serve/site.h"

#include "core/fs_util.h"

#include <arpa/inet.h>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace {

// nginx reads these as the end of a value, a variable, a block or a comment; Varnish reads
// quotes the same way. None of them is ever needed in a path or a host.
bool HasUnsafeCharacter(const std::string& text) {
    for (unsigned char ch : text)
        if (ch < 0x20 || ch == 0x7f || std::strchr(" \"'`;{}$\\#", ch) != nullptr) return true;
    return false;
}

bool ReplaceOnce(std::string& text, const std::string& from, const std::string& to, std::string& error) {
    size_t at = text.find(from);
    if (at == std::string::npos || text.find(from, at + 1) != std::string::npos) {
        error = "the built-in template no longer holds \"" + from.substr(0, from.find('\n')) + "\" exactly once";
        return false;
    }
    text.replace(at, from.size(), to);
    return true;
}

// The header's "Install:" paragraph (up to the next "#" line) becomes header.
bool ReplaceInstallNote(std::string& text, const std::string& header, std::string& error) {
    size_t start = text.find("# Install: ");
    size_t end = start == std::string::npos ? start : text.find("\n#\n", start);
    if (start == std::string::npos || end == std::string::npos) {
        error = "the built-in template no longer has its \"# Install:\" paragraph";
        return false;
    }
    text.replace(start, end + 1 - start, header);
    return true;
}

bool ParsePortText(const std::string& text, int& port) {
    if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos) return false;
    port = std::atoi(text.c_str());  // at most five digits: no overflow
    return port >= 1 && port <= 65535;
}

bool IsHostName(const std::string& host) {
    if (host.empty() || host.size() > 253) return false;
    size_t label = 0;
    for (size_t i = 0; i <= host.size(); ++i) {
        char ch = i < host.size() ? host[i] : '.';
        if (ch == '.') {
            if (label == 0 || label > 63 || host[i - 1] == '-' || host[i - label] == '-') return false;
            label = 0;
        } else if ((ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9') || ch == '-') {
            ++label;
        } else {
            return false;
        }
    }
    return true;
}

}  // namespace

bool CheckEdgeAddress(const std::string& edge, std::string& error) {
    size_t slash = edge.find('/');
    std::string address = edge.substr(0, slash);
    unsigned char bytes[16] = {};
    int bits = 0;
    if (inet_pton(AF_INET, address.c_str(), bytes) == 1) {
        bits = 32;
    } else if (inet_pton(AF_INET6, address.c_str(), bytes) == 1) {
        bits = 128;
    } else {
        error = "--edge " + edge + " is not an IPv4 or IPv6 address or CIDR block (e.g. 192.0.2.7, 10.0.0.0/8, ::1)";
        return false;
    }
    if (slash == std::string::npos) return true;
    std::string prefix = edge.substr(slash + 1);
    if (prefix.empty() || prefix.size() > 3 || prefix.find_first_not_of("0123456789") != std::string::npos ||
        std::atoi(prefix.c_str()) > bits) {
        error = "--edge " + edge + ": the prefix length must be 0 to " + std::to_string(bits);
        return false;
    }
    // A block with host bits set is most likely a typo for another block; nginx would only warn.
    for (int bit = std::atoi(prefix.c_str()); bit < bits; ++bit)
        if (bytes[bit / 8] & (0x80 >> (bit % 8))) {
            error = "--edge " + edge + " has bits set after its prefix length; give the block's first address";
            return false;
        }
    return true;
}

bool ParseOrigin(const std::string& origin, std::string& host, int& port, std::string& error) {
    size_t colon = origin.rfind(':');
    error = "--vcl needs ORIGIN_HOST:PORT (a host name, an IPv4 address or [IPv6], and a port 1 to 65535), not \"" +
            origin + "\"";
    if (colon == std::string::npos || !ParsePortText(origin.substr(colon + 1), port)) return false;
    host = origin.substr(0, colon);
    unsigned char bytes[16];
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
        if (inet_pton(AF_INET6, host.c_str(), bytes) != 1) return false;
    } else if (inet_pton(AF_INET, host.c_str(), bytes) != 1 && !IsHostName(host)) {
        return false;
    }
    error.clear();
    return true;
}

bool AbsoluteServerDir(const std::string& serverDir, std::string& absolute, std::string& error) {
    std::string parent, name;
    SplitPath(serverDir, parent, name);
    if (serverDir.empty() || name.empty() || name == "." || name == ".." || name == "/") {
        error = "SERVER_DIR must name a folder (not \"" + serverDir + "\")";
        return false;
    }
    char resolved[PATH_MAX];
    if (realpath(parent.c_str(), resolved) == nullptr) {
        error = "the folder " + parent + " that holds SERVER_DIR does not exist (" + std::strerror(errno) + ")";
        return false;
    }
    absolute = JoinPath(resolved, name);
    if (HasUnsafeCharacter(absolute)) {
        error = "nginx would misread the path " + absolute +
                ": it holds a space, quote, semicolon, brace, $, # or backslash; move SERVER_DIR";
        return false;
    }
    return true;
}

bool MakeNginxSite(const SiteOptions& options, std::string& text, std::string& error) {
    std::string root;
    if (!AbsoluteServerDir(options.serverDir, root, error)) return false;
    unsigned char bytes[16];
    std::string listen = std::to_string(options.port);
    if (options.port < 1 || options.port > 65535) {
        error = "--port must be 1 to 65535";
        return false;
    }
    if (inet_pton(AF_INET, options.bind.c_str(), bytes) == 1) {
        listen = options.bind + ":" + listen;
    } else if (inet_pton(AF_INET6, options.bind.c_str(), bytes) == 1) {
        listen = "[" + options.bind + "]:" + listen;
    } else if (!options.bind.empty()) {
        error = "--bind " + options.bind + " is not an IPv4 or IPv6 address";
        return false;
    }
    if (options.accessLog.empty() || options.accessLog[0] != '/' || HasUnsafeCharacter(options.accessLog)) {
        error = "--access-log needs an absolute path without blanks, quotes, semicolons, braces, $, # or "
                "backslashes (not \"" + options.accessLog + "\")";
        return false;
    }
    std::string geo, realIp;
    for (const std::string& edge : options.edges) {
        if (!CheckEdgeAddress(edge, error)) return false;
        geo += "    " + edge + " 1;\n";
        realIp += "    set_real_ip_from " + edge + ";\n";
    }
    text = kNginxSiteTemplate;
    std::string header = "# Made by \"quillor-publish site\" for " + root +
                         ": save it as /etc/nginx/sites-available/quillor,\n# link it into sites-enabled and "
                         "reload nginx once (the nginx user must be able to read\n# " + root +
                         ".cohorts and the trees). Publishing and staging never need another reload or edit.\n";
    return ReplaceInstallNote(text, header, error) && ReplaceOnce(text, "    127.0.0.1 1;\n", geo, error) &&
           ReplaceOnce(text, "    listen 8080;\n", "    listen " + listen + ";\n", error) &&
           ReplaceOnce(text, "    root /srv/quillor/server.cohorts/$quillor_cohort;\n",
                       "    root " + root + ".cohorts/$quillor_cohort;\n", error) &&
           ReplaceOnce(text, "    set_real_ip_from 127.0.0.1;\n", realIp, error) &&
           ReplaceOnce(text, "    access_log /var/log/nginx/quillor-access.json quillor_json;\n",
                       "    access_log " + options.accessLog + " quillor_json;\n", error);
}

bool MakeEdgeVcl(const std::string& origin, const std::string& serverDir, std::string& text, std::string& error) {
    std::string host, root;
    int port = 0;
    if (!ParseOrigin(origin, host, port, error)) return false;
    if (!serverDir.empty() && !AbsoluteServerDir(serverDir, root, error)) return false;
    text = kVarnishEdgeTemplate;
    std::string header = "# Made by \"quillor-publish site --vcl\" for the origin " + origin +
                         (root.empty() ? "" : " (serving " + root + ")") +
                         ":\n# save it as /etc/varnish/quillor.vcl and start varnishd with \"-f "
                         "/etc/varnish/quillor.vcl\"; the\n# origin's site must trust this edge's address "
                         "(quillor-publish site --edge ADDRESS).\n# Only the updater's three kinds of path pass.\n";
    return ReplaceInstallNote(text, header, error) &&
           ReplaceOnce(text, ".host = \"127.0.0.1\";", ".host = \"" + host + "\";", error) &&
           ReplaceOnce(text, ".port = \"8080\";", ".port = \"" + std::to_string(port) + "\";", error);
}
