// The driver: command line, banner and help, and the order of the run.
#pragma once

#include <cstdint>

constexpr uint32_t SYNC_PAUSE_MS = 100; // lets the agent get ready after the sync byte

void print_banner();
// Answers the one argument of a lone option ("-v", "-h", or anything else as
// an invalid option); returns the exit status.
int answer_option(const char* option);
// Takes the port name, the optional image path and the MAC address.
void take_command_line(int argc, char* argv[]);
// Runs the board data, OTP and firmware jobs in order and reports each; stops
// at the first failure. Returns the exit status: 0 when all three succeeded.
int run_job_sequence();
