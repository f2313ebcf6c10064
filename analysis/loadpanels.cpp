#include "analysis/loadpanels.h"

#include "decoding/decodefile.h"

#include <opencv2/core.hpp>

#include <array>
#include <cstring>

namespace {

// The panels in the order they are handed back, and their types.
constexpr std::array<cv::Mat PanelImages::*, 6> Panels = {&PanelImages::origin,
    &PanelImages::mygray, &PanelImages::gray, &PanelImages::gaussian, &PanelImages::sobel,
    &PanelImages::laplacian};
constexpr std::array<int, 6> PanelTypes = {CV_8UC3, CV_8UC3, CV_8UC1, CV_8UC3, CV_8UC1, CV_8UC1};

std::size_t panelBytes(int type)
{
    return static_cast<std::size_t>(PanelSize.area()) * CV_ELEM_SIZE(type);
}

std::size_t allPanelBytes()
{
    std::size_t bytes = 0;
    for (const int type : PanelTypes)
        bytes += panelBytes(type);
    return bytes;
}

void writePanels(const cv::Mat &bgr, unsigned char *into, std::size_t bytes)
{
    CV_Assert(bytes >= allPanelBytes());
    const PanelImages panels = analyseImage(bgr);
    for (std::size_t i = 0; i < Panels.size(); ++i) {
        const cv::Mat &panel = panels.*Panels[i];
        CV_Assert(
            panel.type() == PanelTypes[i] && panel.size() == PanelSize && panel.isContinuous());
        std::memcpy(into, panel.data, panelBytes(PanelTypes[i]));
        into += panelBytes(PanelTypes[i]);
    }
}

// Whatever the child wrote, the panels have their sizes and types: only the
// pixels are its.
bool readPanels(const unsigned char *made, std::size_t bytes, PanelImages &panels)
{
    if (bytes < allPanelBytes())
        return false;
    for (std::size_t i = 0; i < Panels.size(); ++i) {
        cv::Mat &panel = panels.*Panels[i];
        panel.create(PanelSize, PanelTypes[i]);
        std::memcpy(panel.data, made, panelBytes(PanelTypes[i]));
        made += panelBytes(PanelTypes[i]);
    }
    return true;
}

} // namespace

std::optional<PanelImages> loadPanels(const std::string &path)
{
    PanelImages panels;
    PictureUse use;
    use.prepare = prepareAnalysis;
    use.bytes = [](std::uint64_t, std::uint64_t) { return allPanelBytes(); };
    use.make = writePanels;
    use.take = [&panels](const unsigned char *made, std::size_t bytes) {
        return readPanels(made, bytes, panels);
    };
    if (!decodeFile(path, use))
        return std::nullopt;
    return panels;
}
