// `vortiss access PATH --as ACCOUNT [--rights RIGHTS] [--explain]`: what another account may do
// to PATH, and the entries that decided the caller's own answer or the account's.
#pragma once

#include <string>

#include <CLI/CLI.hpp>

struct AccessOptions {
  std::string as;      // the account to answer for; empty: the caller
  std::string rights;  // RIGHTS for --as; empty: what the write check asks for
  bool explain = false;
};

// Adds --as, --rights and --explain to `access`.
void AddAccessOptions(CLI::App& access, AccessOptions& options);

// Answers for --as: "answer: yes" or "answer: no" and, with --explain, why. The status as
// `access` gives it: 0 yes, 1 no, 2 a usage error, 3 the check could not run.
int RunAccessAs(const std::wstring& path, const AccessOptions& options);

// The lines that explain the caller's own check of `path`, after its answer.
void ExplainOwnAccess(const std::wstring& path);
