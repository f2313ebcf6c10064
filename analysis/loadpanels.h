#pragma once

#include "analysis/pipeline.h"

#include <optional>
#include <string>

// The six panels of an image file, made where the file is decoded so that
// only they come back to the program, never the picture at its full size.
// Empty when the file is refused or cannot be decoded; one line on standard
// error says why.
std::optional<PanelImages> loadPanels(const std::string &path);
