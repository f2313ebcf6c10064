#pragma once

#include "decoding/verdict.h"

#include <QByteArray>

// What the checks before decoding make of these bytes, as of a file.
Verdict inspectBytes(const QByteArray &file, const DecodeLimits &limits = DecodeLimits());

// The name of the format a verdict found, or "" for none.
const char *formatName(const Verdict &verdict);
