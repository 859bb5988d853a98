// Words the Updater prints for the user to paste into a shell (recovery commands, --doctor's
// fixes): quoted so that the shell reads back exactly the bytes meant.
#pragma once

#include <string>

// word as it stands when the shell would read it unchanged; else in single quotes; and a word
// holding a control character (a C0 byte, DEL, a C1 control raw or in UTF-8) in bash's $'...'
// quoting, with \n, \t, \r, \e and \xHH escapes, so that it stays one printable line.
std::string shellWord(const std::string& word);
