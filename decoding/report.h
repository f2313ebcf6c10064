#pragma once

#include <string>

// Says why on standard error, as "morvastel: PATH: WHY": refusals, decoders'
// failures and their warnings alike.
void report(const std::string &path, const std::string &why);

// The same for a line already in that form.
void reportLine(const std::string &line);
