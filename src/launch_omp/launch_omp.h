// The launch-omp driver: records the endpoint's environment, ties the agent's process tree to the
// daemon's life, and runs the agent in the foreground of the daemon's terminal.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace vantle::launch {

// The node name exported to the agent: the --node value trimmed, or nothing when that is empty
// or the unfilled template placeholder "{node}".
std::optional<std::string> node_name(std::string_view value);

// Runs `launch-omp` with the arguments after the subcommand; returns the exit code.
int launch_omp(std::span<const std::string> args);

}  // namespace vantle::launch
