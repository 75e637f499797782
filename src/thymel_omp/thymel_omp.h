// The `thymel-omp` driver: one ephemeral agent turn of the Thymel component.
#pragma once

#include <span>
#include <string>

namespace vantle::thymel {

// Runs one turn: the mind file's text in front of standard input becomes the prompt, the agent
// answers once against the sessions directory beside the mind file, and its reply goes to
// standard output. Returns 0 (reply or acknowledgement), 1 (turn failed), 2 (bad command line),
// 95 (no prior session to continue: reseed) or 96 (account refusal).
int thymel_omp(std::span<const std::string> args);

}  // namespace vantle::thymel
