#pragma once

#include <QString>

#include <optional>

// Reading a password for the command line: from the terminal without echo,
// or from standard input for scripts. Never from the command line, where
// other users could read it.
namespace PasswordInput {

// The first line of standard input, without its line end.
std::optional<QString> fromStandardInput(QString *error);

// Asks on the terminal with echo off (standard input when it is a terminal,
// else /dev/tty). The terminal's settings are restored afterwards, also when
// the program is interrupted while asking.
std::optional<QString> fromTerminal(const QString &prompt, QString *error);

} // namespace PasswordInput
