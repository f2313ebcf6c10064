// JPEG: libjpeg-turbo, through OpenCV. Its markers walked as libjpeg walks
// them, the work of every scan, and Exif orientations that OpenCV misses.
#include "decoding/jpeg.h"

#include "decoding/bytes.h"
#include "decoding/formats.h"

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include <algorithm>
#include <array>
#include <cstdio>
#include <mutex>
#include <vector>

namespace {

// Measured by morvastel_weights: seconds a block for each kind of scan, the
// most libjpeg-turbo spends with the fewest bytes (a bit a block for a first
// DC scan, runs of ended bands for AC scans, or nothing at all); a restart;
// a byte of coded data; and a pixel put out, by the frame's components.
struct ScanWeights
{
    double sequential;
    double dcFirst;
    double dcRefine;
    double acFirst;
    double acRefine;
    double restart;
    double dataByte;
};
constexpr ScanWeights Huffman = {16.5e-9, 15.7e-9, 9.7e-9, 6.6e-9, 55.3e-9, 16e-9, 6.1e-9};
constexpr ScanWeights Arithmetic = {46.8e-9, 18.3e-9, 20.8e-9, 6.6e-9, 50.1e-9, 15e-9, 128e-9};
constexpr double SecondsPerGreyPixel = 3.5e-9;
constexpr double SecondsPerColourPixel = 4.3e-9;
constexpr double SecondsPerCmykPixel = 8.6e-9;
// What a pixel put out from kept coefficients costs more, and what block
// smoothing adds, at the widest pictures.
constexpr double SecondsPerKeptPixel = 1.5e-9;
constexpr double SecondsPerSmoothedPixel = 6.2e-9;

constexpr int Soi = 0xd8;
constexpr int Eoi = 0xd9;
constexpr int Sos = 0xda;
constexpr int Dri = 0xdd;
constexpr int App0 = 0xe0;
constexpr int App1 = 0xe1;
constexpr int App15 = 0xef;
constexpr int Com = 0xfe;
constexpr int Dnl = 0xdc;
constexpr int Dht = 0xc4;
constexpr int Dac = 0xcc;
constexpr int Dqt = 0xdb;
constexpr int Tem = 0x01;

// What libjpeg-turbo builds with: eight bits a sample, at most ten
// components, factors 1 to 4, at most ten blocks in an MCU, sides of 65500.
constexpr int MaxSamplingFactor = 4;
constexpr int MaxBlocksInMcu = 10;
constexpr std::uint32_t MaxDimension = 65500;
// A coefficient block as libjpeg keeps it.
constexpr std::uint64_t BytesPerBlock = 128; // 64 coefficients of 16 bits

bool isRestart(int marker)
{
    return marker >= 0xd0 && marker <= 0xd7;
}

// The markers libjpeg reads a segment of and passes over.
bool isSkippedSegment(int marker)
{
    return (marker >= App0 && marker <= App15) || marker == Com || marker == Dnl;
}

// The coefficients whose precision libjpeg follows for block smoothing.
constexpr int SmoothedCoefficients = 10;

struct Component
{
    int id = 0;
    int horizontal = 1; // sampling factors
    int vertical = 1;
    // The bits of each of the first coefficients not yet known, as libjpeg
    // counts them: -1 before any scan holds the coefficient.
    std::array<int, SmoothedCoefficients> unknownBits {-1, -1, -1, -1, -1, -1, -1, -1, -1, -1};
};

struct Frame
{
    int marker = 0;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::vector<Component> components;
    int widest = 1;
    int tallest = 1;

    bool progressive() const { return marker == 0xc2 || marker == 0xca; }

    // Whether libjpeg puts a progressive picture out through block
    // smoothing, which guesses the low coefficients still imprecise from
    // the neighbouring blocks: every DC known, and some of the first AC
    // coefficients not known to their last bit.
    bool smoothed() const
    {
        if (!progressive())
            return false;
        bool imprecise = false;
        for (const Component &c : components) {
            if (c.unknownBits[0] < 0)
                return false;
            imprecise = imprecise ||
                std::any_of(c.unknownBits.begin() + 1, c.unknownBits.end(),
                    [](int bits) { return bits != 0; });
        }
        return imprecise;
    }
    bool arithmetic() const { return marker >= 0xc9; }

    // As libjpeg sizes a component: ceil(side * factor / (largest factor * 8)).
    std::uint64_t blocksAcross(const Component &c) const
    {
        return divideRoundingUp(std::uint64_t {width} * static_cast<unsigned>(c.horizontal),
            8 * static_cast<std::uint64_t>(widest));
    }
    std::uint64_t blocksDown(const Component &c) const
    {
        return divideRoundingUp(std::uint64_t {height} * static_cast<unsigned>(c.vertical),
            8 * static_cast<std::uint64_t>(tallest));
    }
    std::uint64_t mcusAcross() const
    {
        return divideRoundingUp(width, std::uint64_t {8} * static_cast<unsigned>(widest));
    }
    std::uint64_t mcusDown() const
    {
        return divideRoundingUp(height, std::uint64_t {8} * static_cast<unsigned>(tallest));
    }
};

// The SOFn segment, checked as libjpeg checks it before decoding.
std::optional<Frame> parseFrame(int marker, const std::string &segment, std::string &why)
{
    if (segment.size() < 6) {
        why = "a frame header shorter than its fields";
        return std::nullopt;
    }
    Frame frame;
    frame.marker = marker;
    const auto precision = static_cast<unsigned char>(segment[0]);
    frame.height = static_cast<std::uint32_t>(unsignedAt(segment, 1, 2, ByteOrder::Big));
    frame.width = static_cast<std::uint32_t>(unsignedAt(segment, 3, 2, ByteOrder::Big));
    const auto count = static_cast<std::size_t>(static_cast<unsigned char>(segment[5]));
    if (segment.size() != 6 + 3 * count) {
        why = "a frame header whose length disagrees with its components";
        return std::nullopt;
    }
    if (precision != 8 || frame.width == 0 || frame.height == 0 || frame.width > MaxDimension ||
        frame.height > MaxDimension || (count != 1 && count != 3 && count != 4)) {
        why = "a frame libjpeg does not decode in colour";
        return std::nullopt;
    }
    for (std::size_t i = 0; i < count; ++i) {
        const auto factors = static_cast<unsigned char>(segment[6 + 3 * i + 1]);
        Component component;
        component.id = static_cast<unsigned char>(segment[6 + 3 * i]);
        component.horizontal = factors >> 4;
        component.vertical = factors & 0x0f;
        if (component.horizontal < 1 || component.horizontal > MaxSamplingFactor ||
            component.vertical < 1 || component.vertical > MaxSamplingFactor) {
            why = "sampling factors outside 1 to 4";
            return std::nullopt;
        }
        frame.widest = std::max(frame.widest, component.horizontal);
        frame.tallest = std::max(frame.tallest, component.vertical);
        frame.components.push_back(component);
    }
    return frame;
}

// The kind of scan, and whether libjpeg accepts its parameters.
enum class ScanKind { Sequential, DcFirst, DcRefine, AcFirst, AcRefine };

std::optional<ScanKind> scanKind(
    const Frame &frame, int count, int start, int end, int high, int low)
{
    if (!frame.progressive())
        return ScanKind::Sequential;
    const bool dc = start == 0;
    bool bad = dc ? end != 0 : (start > end || end >= 64 || count != 1);
    bad = bad || (high != 0 && low != high - 1) || low > 13;
    if (bad)
        return std::nullopt;
    if (dc)
        return high == 0 ? ScanKind::DcFirst : ScanKind::DcRefine;
    return high == 0 ? ScanKind::AcFirst : ScanKind::AcRefine;
}

double blockWeight(const ScanWeights &weights, ScanKind kind)
{
    switch (kind) {
    case ScanKind::Sequential:
        return weights.sequential;
    case ScanKind::DcFirst:
        return weights.dcFirst;
    case ScanKind::DcRefine:
        return weights.dcRefine;
    case ScanKind::AcFirst:
        return weights.acFirst;
    case ScanKind::AcRefine:
        return weights.acRefine;
    }
    return weights.sequential;
}

double secondsPerPixel(const Frame &frame)
{
    switch (frame.components.size()) {
    case 1:
        return SecondsPerGreyPixel;
    case 4:
        return SecondsPerCmykPixel;
    default:
        return SecondsPerColourPixel;
    }
}

// The next marker as libjpeg finds it: bytes up to a 0xFF passed over (data
// or garbage), fill bytes 0xFF, then a code other than 0 (0xFF 0x00 stuffs a
// data byte). -1 at the end of the stream.
int nextMarker(ByteReader &in)
{
    for (;;) {
        if (!in.skipPast(0xff))
            return -1;
        int code = 0;
        do
            code = in.next();
        while (code == 0xff);
        if (code != 0)
            return code;
    }
}

using namespace std::string_view_literals;
constexpr std::string_view ExifSignature = "Exif\0\0"sv;
constexpr int OrientationTag = 0x112;

// The orientation tag of the first directory of an Exif block.
std::optional<int> orientationIn(std::string_view exif)
{
    const std::string_view tiff = exif.substr(ExifSignature.size());
    if (tiff.size() < 8 || (!startsWith(tiff, "II") && !startsWith(tiff, "MM")))
        return std::nullopt;
    const ByteOrder order = tiff[0] == 'I' ? ByteOrder::Little : ByteOrder::Big;
    const std::uint64_t directory = unsignedAt(tiff, 4, 4, order);
    if (directory + 2 > tiff.size())
        return std::nullopt;
    const std::uint64_t count = unsignedAt(tiff, directory, 2, order);
    for (std::uint64_t i = 0; i < count; ++i) {
        const std::uint64_t entry = directory + 2 + 12 * i;
        if (entry + 12 > tiff.size())
            break;
        if (unsignedAt(tiff, entry, 2, order) == OrientationTag)
            return static_cast<int>(unsignedAt(tiff, entry + 8, 2, order));
    }
    return std::nullopt;
}

// Follows the Exif orientation as OpenCV sees it: it reads the first APP1
// segment only.
struct ExifWatch
{
    bool firstApp1 = true;
    bool done = false;
    std::optional<int> first; // the first APP1 block's, which OpenCV applies itself
    std::optional<int> later;

    void see(const std::string &segment)
    {
        if (done)
            return;
        const bool isExif = startsWith(segment, ExifSignature);
        const std::optional<int> orientation = isExif ? orientationIn(segment) : std::nullopt;
        const bool turns = orientation && *orientation >= 2 && *orientation <= 8;
        if (isExif && firstApp1) {
            done = true;
            if (turns)
                first = orientation;
            return;
        }
        firstApp1 = false;
        if (isExif) {
            done = true;
            if (turns)
                later = orientation;
        }
    }
};

JpegStream refusedStream(const std::string &why)
{
    JpegStream stream;
    stream.refusal = "unreadable JPEG: " + why;
    return stream;
}

} // namespace

JpegStream walkJpegStream(const FileBytes &file, std::uint64_t begin, std::uint64_t end)
{
    ByteReader in(file, begin, end);
    if (in.next() != 0xff || in.next() != Soi)
        return refusedStream("no start of image");
    std::optional<Frame> frame;
    ExifWatch exif;
    std::uint64_t restartInterval = 0;
    double scanSeconds = 0;
    std::uint64_t restartBytes = 0;
    int scans = 0;
    int firstScanComponents = 0;
    std::string segment;
    for (;;) {
        const int marker = nextMarker(in);
        if (marker < 0 || marker == Eoi)
            break; // libjpeg ends a stream cut short as if at its end
        if (isRestart(marker) || marker == Tem)
            continue; // parameterless
        if (marker == Soi)
            return refusedStream("a second start of image");
        // Every other marker is followed by its length, which counts itself.
        const int high = in.next();
        const int low = in.next();
        if (low < 0)
            break;
        const std::uint64_t length = static_cast<std::uint64_t>(high << 8 | low);
        if (isSkippedSegment(marker)) {
            // A length below 2 skips nothing.
            const std::uint64_t contents = length < 2 ? 0 : length - 2;
            if (marker == App1 && !exif.done) {
                if (!in.take(static_cast<std::size_t>(contents), segment))
                    break;
                exif.see(segment);
            } else if (!in.skip(contents)) {
                break;
            }
            continue;
        }
        if (length < 2)
            return refusedStream("a segment shorter than its length field");
        if (!in.take(static_cast<std::size_t>(length - 2), segment))
            break;
        if (marker == Dht || marker == Dqt || marker == Dac)
            continue;
        if (marker == Dri) {
            if (segment.size() != 2)
                return refusedStream("a restart interval of the wrong length");
            restartInterval = unsignedAt(segment, 0, 2, ByteOrder::Big);
            continue;
        }
        if (marker == 0xc0 || marker == 0xc1 || marker == 0xc2 || marker == 0xc9 ||
            marker == 0xca) {
            if (frame)
                return refusedStream("a second frame");
            std::string why;
            frame = parseFrame(marker, segment, why);
            if (!frame)
                return refusedStream(why);
            continue;
        }
        if (marker != Sos) {
            char code[16];
            std::snprintf(code, sizeof code, "0x%02X", static_cast<unsigned>(marker));
            return refusedStream(std::string("marker ") + code + ", which libjpeg does not decode");
        }

        // A scan: its components, spectral band and bit positions.
        if (!frame)
            return refusedStream("a scan before the frame");
        const int count = segment.empty() ? 0 : static_cast<unsigned char>(segment[0]);
        if (count < 1 || count > 4 || segment.size() != 2 * static_cast<std::size_t>(count) + 4)
            return refusedStream("a scan header whose length disagrees with its components");
        std::vector<Component *> inScan;
        for (int i = 0; i < count; ++i) {
            const int id = static_cast<unsigned char>(segment[1 + 2 * static_cast<std::size_t>(i)]);
            Component *found = nullptr;
            // libjpeg looks among the first four components only.
            const std::size_t searched = std::min<std::size_t>(frame->components.size(), 4);
            for (std::size_t c = 0; c < searched && !found; ++c) {
                if (frame->components[c].id == id)
                    found = &frame->components[c];
            }
            if (!found || std::find(inScan.begin(), inScan.end(), found) != inScan.end())
                return refusedStream("a scan of a component the frame does not have");
            inScan.push_back(found);
        }
        const auto byte = [&segment](
                              std::size_t at) { return static_cast<unsigned char>(segment[at]); };
        const std::size_t parameters = 1 + 2 * static_cast<std::size_t>(count);
        const std::optional<ScanKind> kind = scanKind(*frame, count, byte(parameters),
            byte(parameters + 1), byte(parameters + 2) >> 4, byte(parameters + 2) & 0x0f);
        if (!kind)
            return refusedStream("a progression libjpeg refuses");

        std::uint64_t blocks = 0;
        std::uint64_t mcus = 0;
        if (count == 1) {
            blocks = frame->blocksAcross(*inScan[0]) * frame->blocksDown(*inScan[0]);
            mcus = blocks;
        } else {
            int perMcu = 0;
            for (const Component *c : inScan)
                perMcu += c->horizontal * c->vertical;
            if (perMcu > MaxBlocksInMcu)
                return refusedStream("more blocks in an MCU than libjpeg takes");
            mcus = frame->mcusAcross() * frame->mcusDown();
            blocks = mcus * static_cast<std::uint64_t>(perMcu);
        }
        const int start = byte(parameters);
        const int stop = std::min<int>(byte(parameters + 1), SmoothedCoefficients - 1);
        for (Component *c : inScan) {
            for (int k = start; k <= stop; ++k)
                c->unknownBits[static_cast<std::size_t>(k)] = byte(parameters + 2) & 0x0f;
        }
        const ScanWeights &weights = frame->arithmetic() ? Arithmetic : Huffman;
        const std::uint64_t restarts = restartInterval == 0 ? 0 : (mcus - 1) / restartInterval;
        scanSeconds += static_cast<double>(blocks) * blockWeight(weights, *kind) +
            static_cast<double>(restarts) * weights.restart;
        restartBytes += 2 * restarts;
        // A stream read in one scan (sequential, every component in it) is
        // decoded from that scan alone: libjpeg reads no other.
        if (scans == 0)
            firstScanComponents = count;
        if (++scans == 1 && !frame->progressive() &&
            static_cast<std::size_t>(count) == frame->components.size())
            break;
    }
    if (!frame)
        return refusedStream("no frame header");
    if (scans == 0)
        return refusedStream("no scan");

    JpegStream stream;
    stream.width = frame->width;
    stream.height = frame->height;
    stream.components = static_cast<int>(frame->components.size());
    const ScanWeights &weights = frame->arithmetic() ? Arithmetic : Huffman;
    std::uint64_t componentBlocks = 0;
    std::uint64_t keptBlocks = 0;
    for (const Component &c : frame->components) {
        componentBlocks += frame->blocksAcross(c) * frame->blocksDown(c);
        // Whole-picture buffers are rounded up to the component's factors.
        keptBlocks +=
            divideRoundingUp(frame->blocksAcross(c), static_cast<unsigned>(c.horizontal)) *
            static_cast<unsigned>(c.horizontal) *
            divideRoundingUp(frame->blocksDown(c), static_cast<unsigned>(c.vertical)) *
            static_cast<unsigned>(c.vertical);
    }
    const double pixels = double(frame->width) * double(frame->height);
    const double data =
        static_cast<double>(std::min(end, file.size()) - std::min(begin, file.size()));
    const double common = pixels * secondsPerPixel(*frame) + data * weights.dataByte;
    const bool oneScan = !frame->progressive() && scans == 1 &&
        static_cast<std::size_t>(firstScanComponents) == frame->components.size();
    stream.seconds = scanSeconds + common + (oneScan ? 0 : pixels * SecondsPerKeptPixel) +
        (frame->smoothed() ? pixels * SecondsPerSmoothedPixel : 0);
    stream.plainSeconds = static_cast<double>(componentBlocks) * weights.sequential + common;
    stream.honestBytes = restartBytes + (frame->arithmetic() ? 0 : componentBlocks / 8);
    stream.coefficientBytes = oneScan ? 0 : keptBlocks * BytesPerBlock;
    stream.laterExifOrientation = exif.later;
    stream.turned = exif.first || exif.later;
    return stream;
}

namespace {

bool matches(std::string_view start)
{
    return startsWith(start, "\xff\xd8\xff");
}

Inspection inspect(const FileBytes &file, const DecodeLimits &)
{
    const JpegStream stream = walkJpegStream(file, 0, file.size());
    if (!stream.refusal.empty())
        return Inspection::refused(stream.refusal);
    Inspection inspection;
    inspection.width = stream.width;
    inspection.height = stream.height;
    inspection.seconds = stream.seconds;
    inspection.plainSeconds = stream.plainSeconds;
    inspection.honestBytes = stream.honestBytes;
    // The picture, once more while it is turned, and the coefficients of a
    // stream with several scans.
    inspection.memory =
        bgrBytes(stream.width, stream.height) * (stream.turned ? 2 : 1) + stream.coefficientBytes;
    if (stream.laterExifOrientation) {
        inspection.mend.asked = true;
        inspection.mend.numbers[0] = static_cast<std::uint32_t>(*stream.laterExifOrientation);
    }
    return inspection;
}

std::vector<uchar> app1(std::string_view payload)
{
    const std::size_t length = payload.size() + 2;
    std::vector<uchar> segment(payload.size() + 4);
    segment[0] = 0xff;
    segment[1] = static_cast<uchar>(App1);
    segment[2] = static_cast<uchar>(length >> 8);
    segment[3] = static_cast<uchar>(length);
    std::copy(payload.begin(), payload.end(), segment.begin() + 4);
    return segment;
}

enum class LaterExif {
    Honoured, // this OpenCV finds the block and turns the picture itself
    Ignored, // it decodes the picture as stored
    Mishandled, // anything else
};

// A tiny JPEG whose XMP block comes before its Exif block, which says "turn
// 90 degrees clockwise": what does this OpenCV do with it?
LaterExif findHandling(const Codec &codec)
{
    // Wide, with no two columns or rows alike, so that every turn shows.
    cv::Mat picture(8, 16, CV_8UC3);
    for (int y = 0; y < picture.rows; ++y)
        for (int x = 0; x < picture.cols; ++x)
            picture.at<cv::Vec3b>(y, x) = cv::Vec3b(uchar(x * 16), uchar(y * 32), uchar(128));
    const std::vector<uchar> jpeg = codec.encode(".jpg", picture, {cv::IMWRITE_JPEG_QUALITY, 100});
    const cv::Mat stored = codec.decode(jpeg);
    if (jpeg.size() < 2 || stored.empty())
        return LaterExif::Mishandled;

    const std::string exif = std::string(ExifSignature) +
        std::string("MM\0\x2a\0\0\0\x08\0\x01\x01\x12\0\x03\0\0\0\x01\0\x06\0\0\0\0\0\0"sv);
    const std::vector<uchar> xmp = app1("http://ns.adobe.com/xap/1.0/\0<x:xmpmeta/>"sv);
    const std::vector<uchar> turn = app1(exif);
    std::vector<uchar> file;
    file.reserve(jpeg.size() + xmp.size() + turn.size());
    file.push_back(jpeg[0]);
    file.push_back(jpeg[1]);
    file.insert(file.end(), xmp.begin(), xmp.end());
    file.insert(file.end(), turn.begin(), turn.end());
    file.insert(file.end(), jpeg.begin() + 2, jpeg.end());

    const cv::Mat decoded = codec.decode(file);
    cv::Mat turned = stored.clone();
    applyOrientation(turned, 6);
    if (samePixels(decoded, turned))
        return LaterExif::Honoured;
    return samePixels(decoded, stored) ? LaterExif::Ignored : LaterExif::Mishandled;
}

// The orientation is applied after decoding where this OpenCV ignores the
// block, and left to it where it honours it: nothing is turned twice.
std::optional<Mend> mend(const MendQuestion &question, const Codec &codec)
{
    static std::once_flag once;
    static LaterExif handling = LaterExif::Mishandled;
    std::call_once(once, [&codec] { handling = findHandling(codec); });
    if (handling == LaterExif::Mishandled)
        return std::nullopt;
    Mend result;
    if (handling == LaterExif::Ignored)
        result.orientation = static_cast<int>(question.numbers[0]);
    return result;
}

} // namespace

extern const Format JpegFormat = {"JPEG", matches, inspect, mend, Decoder::OpenCv};
