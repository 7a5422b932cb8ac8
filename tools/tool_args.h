// SPDX-License-Identifier: Apache-2.0
// What the tools (morvix-gen, morvix-client) share on their command lines:
// one way to refuse an argument, to read a number and to find a host.
#pragma once

#include <netinet/in.h>

#include <string>
#include <string_view>

namespace morvix::tool {

// Names the program in every message below; main sets it first.
void set_program(const char* name);

// Writes "<program>: <message>" and "try '<program> --help'" to standard
// error and exits with status 2.
[[noreturn]] void bad_arguments(const std::string& message);

// Writes "<program> <version>" (the project's version) to standard output
// and exits with status 0.
[[noreturn]] void print_version();

// Writes "<program>: <what>: <the reason errno gives>" to standard error and
// exits with status 1.
[[noreturn]] void failed(const std::string& what);

// text as a whole number in base (10 or 16) from min to max. Anything else
// (blanks, a plus sign, trailing characters, too large) ends through
// bad_arguments: "<name> takes a whole number from <min> to <max>, not '<text>'".
long long integer_option(const std::string& name, std::string_view text, long long min,
                         long long max, int base = 10);

// text as a number from min to max, or bad_arguments:
// "<name> takes a number from <min> to <max>, not '<text>'".
double number_option(const std::string& name, const std::string& text, double min, double max);

// number_option from 0 to 1.
double fraction_option(const std::string& name, const std::string& text);

// The first IPv4 address of host, with port (host byte order) filled in.
// Returns 1, or 0 with the resolver's reason in error.
int resolve_ipv4(const std::string& host, int port, sockaddr_in& out, std::string& error);

}  // namespace morvix::tool
