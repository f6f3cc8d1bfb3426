#pragma once

#include <string>
#include <string_view>

namespace installer {

// Writes one finished message to the tool's log: a single record on standard error,
// "YYYY-MM-DD HH:MM:SS.mmm <program>[<pid>:<tid>] <message>\n", written with one
// write, and the same message to the system's log (systemLogSend), a long one cut as
// systemLogText cuts it.  The message is literal text: nothing in it is read as a
// format directive.
void logMessage(std::string_view message);

// `text` as a name or path may stand in a log message: control characters written
// as \n, \t, \r, \0 or \u{XX}, everything else left as it is, so that no name can
// break a message into lines that read as records of their own.
std::string printable(std::string_view text);

// Appends `c` to `text`, written as printable() writes it.
void appendPrintable(std::string& text, char c);

// The record prefix for the current moment and thread, without the message.
std::string logRecordPrefix();

}  // namespace installer
