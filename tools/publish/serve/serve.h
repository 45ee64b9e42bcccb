// The development server: serves one server tree read-only over plain HTTP.
#pragma once
#include <string>

struct ServeOptions {
    std::string bind = "127.0.0.1";
    int port = 8080;  // 0 picks a free port; the first output line names it
    std::string root;
};

// Serves until SIGINT or SIGTERM; false with a message when the port cannot be bound.
bool ServeTree(const ServeOptions& options, std::string& error);
