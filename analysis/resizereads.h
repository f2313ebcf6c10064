#pragma once

#include <opencv2/core/types.hpp>

#include <optional>
#include <vector>

// The source rows and columns whose pixels cv::resize reads, each list in
// ascending order without repeats: every pixel where one of the rows meets
// one of the columns is read, no other.
struct ResizeReads
{
    std::vector<int> rows;
    std::vector<int> columns;
};

// Where a read set comes from; a parameter so that a wrong one can be tried.
using ReadRule = std::optional<ResizeReads> (*)(cv::Size source, cv::Size target);

// The pixels that cv::resize with cv::INTER_LINEAR reads from a one-channel
// 8-bit source to make the target size: for each target column, the source
// column its centre maps to and the next one (zero weights included), widened
// by one where the mapping lands within rounding distance of a whole column;
// rows alike. Empty where resize does not interpolate this way: a source of
// the target's size (copied) and a shrink by exactly two both ways (averaged
// over 2 x 2 blocks, which reads everything).
std::optional<ResizeReads> linearResizeReads(cv::Size source, cv::Size target);

// Whether resizing to the target reads nothing but what the rule says, on two
// probe sizes: pixels outside the read set are filled once with 0 and once
// with 255, and the two results must be equal. Guards against an OpenCV (or a
// platform's accelerated resize) that reads other pixels than assumed.
bool readRuleHolds(ReadRule rule, cv::Size target);
