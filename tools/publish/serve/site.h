// The web server configurations for a server folder: the nginx origin site and the Varnish edge VCL.
#pragma once
#include <string>
#include <vector>

// The shipped templates, embedded at build time from nginx-site.conf and varnish-edge.vcl.
extern const char kNginxSiteTemplate[];
extern const char kVarnishEdgeTemplate[];

constexpr char kDefaultAccessLog[] = "/var/log/nginx/quillor-access.json";

struct SiteOptions {
    std::string serverDir;
    std::string bind;                // "" listens on every address
    int port = 8080;                 // 1 to 65535
    std::vector<std::string> edges;  // addresses or CIDR blocks of trusted edges
    std::string accessLog = kDefaultAccessLog;  // the JSON log that report reads
};

// The nginx site of nginx-site.conf for options: SERVER_DIR (made absolute, its parent must
// exist), listen address and port, edges trusted in geo and set_real_ip_from, the JSON access
// log's absolute path. False with a message naming the bad argument.
bool MakeNginxSite(const SiteOptions& options, std::string& text, std::string& error);

// The edge VCL of varnish-edge.vcl with its backend at origin ("HOST:PORT", "[IPV6]:PORT");
// serverDir, when not empty, is only named in the header.
bool MakeEdgeVcl(const std::string& origin, const std::string& serverDir, std::string& text, std::string& error);

// "10.0.0.0/8", "192.0.2.7", "2001:db8::/32": an address, optionally with a prefix whose host
// bits are zero.
bool CheckEdgeAddress(const std::string& edge, std::string& error);

// "updates.example.com:8080", "127.0.0.1:80", "[::1]:8080" into host (brackets dropped) and port.
bool ParseOrigin(const std::string& origin, std::string& host, int& port, std::string& error);

// The absolute form of serverDir: its parent resolved (it must exist), the last name kept as
// given (SERVER_DIR.cohorts lies beside that name). Refuses what nginx would read otherwise.
bool AbsoluteServerDir(const std::string& serverDir, std::string& absolute, std::string& error);
