// JPEG: libjpeg-turbo, called as OpenCV calls it. Its markers walked as
// libjpeg walks them, the work of every scan, and the Exif orientation
// OpenCV applies, with the one it misses behind an XMP block.
#include "decoding/jpeg.h"

#include "decoding/byteorder.h"
#include "decoding/exif.h"
#include "decoding/formats.h"
#include "decoding/report.h"

#include <jpeglib.h>

#include <algorithm>
#include <array>
#include <csetjmp>
#include <cstdio>
#include <memory>
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
constexpr double SecondsPerGreyPixel = 2.0e-9;
constexpr double SecondsPerColourPixel = 2.8e-9;
constexpr double SecondsPerCmykPixel = 7.3e-9;
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

bool isFrame(int marker)
{
    return marker == 0xc0 || marker == 0xc1 || marker == 0xc2 || marker == 0xc9 || marker == 0xca;
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
    bool arithmetic() const { return marker >= 0xc9; }

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
    std::uint64_t mcus() const
    {
        return divideRoundingUp(width, std::uint64_t {8} * static_cast<unsigned>(widest)) *
            divideRoundingUp(height, std::uint64_t {8} * static_cast<unsigned>(tallest));
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
    frame.height = static_cast<std::uint32_t>(bigEndianAt(segment, 1, 2));
    frame.width = static_cast<std::uint32_t>(bigEndianAt(segment, 3, 2));
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

// The orientation OpenCV gives the picture: from its first APP1 segment,
// whatever it holds, read from the sixth byte on as a TIFF header; and where
// that segment is not an Exif block, the mend: the first Exif block behind
// it, which OpenCV never reads, so that a picture whose XMP block comes first
// does not show sideways.
int shownOrientation(std::string_view firstApp1, std::string_view firstExif)
{
    const std::size_t tiffAt = ExifSignature.size();
    if (firstApp1.size() > tiffAt) {
        if (const std::optional<int> orientation = exifOrientation(firstApp1.substr(tiffAt)))
            return *orientation;
    }
    if (!startsWith(firstApp1, ExifSignature) && firstExif.size() > tiffAt)
        return exifOrientation(firstExif.substr(tiffAt)).value_or(1);
    return 1;
}

// A segment that the stream ends inside of, completed as libjpeg's sources
// complete it: past the end they give a fake end-of-image marker, 0xFF 0xD9,
// again and again. A scan header cut a few bytes short so still starts a
// scan, whose parameters are those bytes.
void completeAsLibjpegDoes(std::string &segment, std::size_t length)
{
    for (std::size_t i = 0; segment.size() < length; ++i)
        segment.push_back(static_cast<char>(i % 2 == 0 ? 0xff : Eoi));
}

bool turns(int orientation)
{
    return orientation >= 2 && orientation <= 8;
}

// The APP1 segments that decide the orientation, as they are met before the
// first scan.
struct App1Segments
{
    std::optional<std::string> first;
    std::optional<std::string> firstExif;

    bool wanted() const { return !first || (!firstExif && !startsWith(*first, ExifSignature)); }
    void add(const std::string &segment)
    {
        if (!first)
            first = segment;
        else if (!firstExif && startsWith(segment, ExifSignature))
            firstExif = segment;
    }
    int orientation() const
    {
        return first ? shownOrientation(*first, firstExif.value_or(std::string())) : 1;
    }
};

// One stream's walk: each marker's segment read, checked and counted as
// libjpeg reads it.
class StreamWalk
{
public:
    explicit StreamWalk(ByteReader &in) : in(in) { }

    Assessment walk(std::uint64_t begin, std::uint64_t end);

private:
    enum class Step { Next, End, Refused };

    Step refuse(const std::string &why)
    {
        refusal = "unreadable JPEG: " + why;
        return Step::Refused;
    }
    Step segment(int marker);
    Step passedOver(int marker, std::uint64_t length);
    Step scan();
    Assessment result(const Frame &picture, std::uint64_t streamBytes) const;

    ByteReader &in;
    std::uint64_t begin = 0;
    std::uint64_t stoppedAt = 0; // after a one-scan stream's scan header
    std::string refusal;
    std::string bytes; // the segment being read
    std::optional<Frame> frame;
    App1Segments app1;
    std::uint64_t restartInterval = 0;
    double scanSeconds = 0;
    std::uint64_t restartBytes = 0;
    int scans = 0;
    int firstScanComponents = 0;
};

Assessment StreamWalk::walk(std::uint64_t from, std::uint64_t end)
{
    begin = from;
    in.moveTo(begin, end);
    if (in.next() != 0xff || in.next() != Soi)
        return Assessment::refused("unreadable JPEG: no start of image");
    Step step = Step::Next;
    while (step == Step::Next) {
        const int marker = nextMarker(in);
        if (marker < 0 || marker == Eoi)
            break; // libjpeg ends a stream cut short as if at its end
        if (isRestart(marker) || marker == Tem)
            continue; // parameterless
        step = marker == Soi ? refuse("a second start of image") : segment(marker);
    }
    if (step != Step::Refused && !frame)
        refuse("no frame header");
    else if (step != Step::Refused && scans == 0)
        refuse("no scan");
    if (!refusal.empty() || !frame)
        return Assessment::refused(refusal);
    return result(*frame, end - begin);
}

// A marker followed by its length, which counts itself, and its segment.
StreamWalk::Step StreamWalk::segment(int marker)
{
    const int high = in.next();
    const int low = in.next();
    if (low < 0)
        return Step::End;
    const auto length = static_cast<std::uint64_t>(high << 8 | low);
    if (isSkippedSegment(marker))
        return passedOver(marker, length);
    if (length < 2)
        return refuse("a segment shorter than its length field");
    if (!in.take(static_cast<std::size_t>(length - 2), bytes))
        completeAsLibjpegDoes(bytes, static_cast<std::size_t>(length - 2));
    if (marker == Dht || marker == Dqt || marker == Dac)
        return Step::Next;
    if (marker == Dri) {
        if (bytes.size() != 2)
            return refuse("a restart interval of the wrong length");
        restartInterval = bigEndianAt(bytes, 0, 2);
        return Step::Next;
    }
    if (isFrame(marker)) {
        if (frame)
            return refuse("a second frame");
        std::string why;
        frame = parseFrame(marker, bytes, why);
        return frame ? Step::Next : refuse(why);
    }
    if (marker != Sos) {
        char code[16];
        std::snprintf(code, sizeof code, "0x%02X", static_cast<unsigned>(marker));
        return refuse(std::string("marker ") + code + ", which libjpeg does not decode");
    }
    return scan();
}

// APPn, COM and DNL: libjpeg reads past them (a length below 2 skips
// nothing, and keeps nothing), keeping the APP1 segments that OpenCV reads
// the orientation from.
StreamWalk::Step StreamWalk::passedOver(int marker, std::uint64_t length)
{
    const std::uint64_t contents = length < 2 ? 0 : length - 2;
    if (marker == App1 && length >= 2 && scans == 0 && app1.wanted()) {
        if (!in.take(static_cast<std::size_t>(contents), bytes))
            return Step::End;
        app1.add(bytes);
        return Step::Next;
    }
    return in.skip(contents) ? Step::Next : Step::End;
}

// A scan: its components, spectral band and bit positions, priced over the
// blocks libjpeg walks for it.
StreamWalk::Step StreamWalk::scan()
{
    if (!frame)
        return refuse("a scan before the frame");
    const int count = bytes.empty() ? 0 : static_cast<unsigned char>(bytes[0]);
    if (count < 1 || count > 4 || bytes.size() != 2 * static_cast<std::size_t>(count) + 4)
        return refuse("a scan header whose length disagrees with its components");
    std::vector<Component *> inScan;
    for (int i = 0; i < count; ++i) {
        const int id = static_cast<unsigned char>(bytes[1 + 2 * static_cast<std::size_t>(i)]);
        // libjpeg looks among the first four components only, and for the
        // scan's i-th from the frame's i-th on (it asks whether a place is
        // taken in the scan's list, by the frame's numbering): components that
        // share an id are found in turn.
        Component *found = nullptr;
        const std::size_t searched = std::min<std::size_t>(frame->components.size(), 4);
        for (auto c = static_cast<std::size_t>(i); c < searched && !found; ++c) {
            if (frame->components[c].id == id)
                found = &frame->components[c];
        }
        if (!found || std::find(inScan.begin(), inScan.end(), found) != inScan.end())
            return refuse("a scan of a component libjpeg does not find in the frame");
        inScan.push_back(found);
    }
    const auto byte = [this](std::size_t at) { return static_cast<unsigned char>(bytes[at]); };
    const std::size_t parameters = 1 + 2 * static_cast<std::size_t>(count);
    const int start = byte(parameters);
    const int low = byte(parameters + 2) & 0x0f;
    const std::optional<ScanKind> kind =
        scanKind(*frame, count, start, byte(parameters + 1), byte(parameters + 2) >> 4, low);
    if (!kind)
        return refuse("a progression libjpeg refuses");

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
            return refuse("more blocks in an MCU than libjpeg takes");
        mcus = frame->mcus();
        blocks = mcus * static_cast<std::uint64_t>(perMcu);
    }
    const int stop = std::min<int>(byte(parameters + 1), SmoothedCoefficients - 1);
    for (Component *c : inScan) {
        for (int k = start; k <= stop; ++k)
            c->unknownBits[static_cast<std::size_t>(k)] = low;
    }
    const ScanWeights &weights = frame->arithmetic() ? Arithmetic : Huffman;
    const std::uint64_t restarts = restartInterval == 0 ? 0 : (mcus - 1) / restartInterval;
    scanSeconds += static_cast<double>(blocks) * blockWeight(weights, *kind) +
        static_cast<double>(restarts) * weights.restart;
    restartBytes += 2 * restarts;
    if (scans == 0)
        firstScanComponents = count;
    // A stream read in one scan (sequential, every component in it) is
    // decoded from that scan alone: libjpeg reads no other.
    const bool whole =
        !frame->progressive() && static_cast<std::size_t>(count) == frame->components.size();
    if (++scans > 1 || !whole)
        return Step::Next;
    stoppedAt = in.offset();
    return Step::End;
}

Assessment StreamWalk::result(const Frame &picture, std::uint64_t streamBytes) const
{
    Assessment stream;
    stream.width = picture.width;
    stream.height = picture.height;
    stream.components = static_cast<int>(picture.components.size());
    const ScanWeights &weights = picture.arithmetic() ? Arithmetic : Huffman;
    std::uint64_t componentBlocks = 0;
    std::uint64_t keptBlocks = 0;
    for (const Component &c : picture.components) {
        componentBlocks += picture.blocksAcross(c) * picture.blocksDown(c);
        // Whole-picture buffers are rounded up to the component's factors.
        keptBlocks +=
            divideRoundingUp(picture.blocksAcross(c), static_cast<unsigned>(c.horizontal)) *
            static_cast<unsigned>(c.horizontal) *
            divideRoundingUp(picture.blocksDown(c), static_cast<unsigned>(c.vertical)) *
            static_cast<unsigned>(c.vertical);
    }
    const double pixels = double(picture.width) * double(picture.height);
    const double common =
        pixels * secondsPerPixel(picture) + double(streamBytes) * weights.dataByte;
    const bool oneScan = !picture.progressive() && scans == 1 &&
        static_cast<std::size_t>(firstScanComponents) == picture.components.size();
    stream.seconds = scanSeconds + common + (oneScan ? 0 : pixels * SecondsPerKeptPixel) +
        (picture.smoothed() ? pixels * SecondsPerSmoothedPixel : 0);
    stream.plainSeconds = static_cast<double>(componentBlocks) * weights.sequential + common;
    stream.honestBytes = restartBytes + (picture.arithmetic() ? 0 : componentBlocks / 8);
    JpegDetails details;
    details.coefficientBytes = oneScan ? 0 : keptBlocks * BytesPerBlock;
    details.turned = turns(app1.orientation());
    details.headerLength = oneScan ? stoppedAt - begin : 0;
    details.secondsPerByte = weights.dataByte;
    stream.details = details;
    return stream;
}

} // namespace

Assessment walkJpegStream(ByteReader &in, std::uint64_t begin, std::uint64_t end)
{
    return StreamWalk(in).walk(begin, end);
}

namespace {

bool matches(std::string_view start)
{
    return startsWith(start, "\xff\xd8\xff");
}

Assessment inspect(const FileBytes &file, const DecodeLimits &)
{
    ByteReader in(file, 0, file.size());
    Assessment assessment = walkJpegStream(in, 0, file.size());
    if (!assessment.refusal.empty())
        return assessment;
    // The picture, once more while it is turned, and the coefficients of a
    // stream with several scans.
    const auto &details = std::any_cast<const JpegDetails &>(assessment.details);
    assessment.memory = bgrBytes(assessment.width, assessment.height) * (details.turned ? 2 : 1) +
        details.coefficientBytes;
    return assessment;
}

// libjpeg's errors come back through longjmp, with their message; its first
// warning is kept, as libjpeg itself shows only the first.
struct ErrorManager
{
    jpeg_error_mgr manager; // first: libjpeg's pointer to it is a pointer to this
    std::jmp_buf jump;
    char error[JMSG_LENGTH_MAX];
    char warning[JMSG_LENGTH_MAX];
};

void exitWithError(j_common_ptr info)
{
    auto *errors = reinterpret_cast<ErrorManager *>(info->err);
    (*info->err->format_message)(info, errors->error);
    std::longjmp(errors->jump, 1);
}

void keepFirstWarning(j_common_ptr info, int level)
{
    auto *errors = reinterpret_cast<ErrorManager *>(info->err);
    if (level < 0 && info->err->num_warnings++ == 0)
        (*info->err->format_message)(info, errors->warning);
}

// libjpeg's state for one file; the functions that call libjpeg hold no
// C++ object that its longjmp could pass over.
struct Decompression
{
    Decompression()
    {
        info.err = jpeg_std_error(&errors.manager);
        errors.manager.error_exit = exitWithError;
        errors.manager.emit_message = keepFirstWarning;
    }
    ~Decompression() { jpeg_destroy_decompress(&info); }
    Decompression(const Decompression &) = delete;
    Decompression &operator=(const Decompression &) = delete;

    jpeg_decompress_struct info {};
    ErrorManager errors {};
};

// As OpenCV reads the header: the APP1 segments kept, output at full size.
bool readHeader(Decompression &jpeg, std::FILE *file)
{
    if (setjmp(jpeg.errors.jump) != 0)
        return false;
    jpeg_create_decompress(&jpeg.info);
    jpeg_stdio_src(&jpeg.info, file);
    jpeg_save_markers(&jpeg.info, JPEG_APP0 + 1, 0xffff);
    jpeg_read_header(&jpeg.info, TRUE);
    jpeg.info.scale_num = 1;
    jpeg.info.scale_denom = 1;
    jpeg_calc_output_dimensions(&jpeg.info);
    return true;
}

// OpenCV's CMYK to BGR, for four-component pictures (CMYK, and YCCK, which
// libjpeg turns into CMYK): no colour management, just the ink.
void cmykToBgr(const JSAMPLE *cmyk, uchar *bgr, int width)
{
    for (int i = 0; i < width; ++i, cmyk += 4, bgr += 3) {
        const int k = cmyk[3];
        bgr[2] = static_cast<uchar>(k - ((255 - cmyk[0]) * k >> 8));
        bgr[1] = static_cast<uchar>(k - ((255 - cmyk[1]) * k >> 8));
        bgr[0] = static_cast<uchar>(k - ((255 - cmyk[2]) * k >> 8));
    }
}

// As OpenCV reads the pixels: BGR straight from libjpeg, CMYK through its
// own conversion. Like OpenCV, a failure after the last row is no failure.
bool readPixels(Decompression &jpeg, cv::Mat &image)
{
    volatile bool allRows = false;
    if (setjmp(jpeg.errors.jump) != 0)
        return allRows;
    const bool cmyk = jpeg.info.num_components == 4;
    jpeg.info.out_color_space = cmyk ? JCS_CMYK : JCS_EXT_BGR;
    jpeg.info.out_color_components = cmyk ? 4 : 3;
    jpeg_start_decompress(&jpeg.info);
    JSAMPARRAY buffer = cmyk
        ? (*jpeg.info.mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(&jpeg.info), JPOOL_IMAGE,
              jpeg.info.output_width * 4, 1)
        : nullptr;
    for (int row = 0; row < image.rows; ++row) {
        JSAMPROW into = cmyk ? buffer[0] : image.ptr<uchar>(row);
        jpeg_read_scanlines(&jpeg.info, &into, 1);
        if (cmyk)
            cmykToBgr(buffer[0], image.ptr<uchar>(row), image.cols);
    }
    allRows = true;
    jpeg_finish_decompress(&jpeg.info);
    return true;
}

// The orientation the saved APP1 segments give.
int savedOrientation(const jpeg_decompress_struct &info)
{
    App1Segments app1;
    for (jpeg_saved_marker_ptr marker = info.marker_list; marker; marker = marker->next) {
        if (marker->marker == JPEG_APP0 + 1 && app1.wanted())
            app1.add(
                std::string(reinterpret_cast<const char *>(marker->data), marker->data_length));
    }
    return app1.orientation();
}

std::string failure(const Decompression &jpeg)
{
    return std::string("undecodable: libjpeg: ") + jpeg.errors.error;
}

Decoded decodeJpeg(const DecodeRequest &request, std::FILE *file, Decompression &jpeg)
{
    if (!readHeader(jpeg, file))
        return Decoded::failed(failure(jpeg));
    const Assessment &checked = request.assessment;
    const jpeg_decompress_struct &info = jpeg.info;
    if (info.output_width != checked.width || info.output_height != checked.height ||
        info.num_components != checked.components)
        return readOtherwise(
            "JPEG", "libjpeg", info.output_width, info.output_height, info.num_components, checked);
    // Read before decoding, as OpenCV reads it: the saved segments go with
    // the decoder's memory once it has finished.
    const int orientation = savedOrientation(info);
    Decoded decoded;
    decoded.image.create(
        static_cast<int>(info.output_height), static_cast<int>(info.output_width), CV_8UC3);
    if (!readPixels(jpeg, decoded.image))
        return Decoded::failed(failure(jpeg));
    turnAsExifSays(decoded.image, orientation);
    return decoded;
}

Decoded decode(const DecodeRequest &request)
{
    const OpenFile file = openForDecoding(request);
    if (!file)
        return Decoded::failed("unreadable: the file cannot be opened again");
    Decompression jpeg;
    Decoded decoded = decodeJpeg(request, file.get(), jpeg);
    if (jpeg.errors.warning[0] != '\0')
        report(request.path, std::string("warning: libjpeg: ") + jpeg.errors.warning);
    return decoded;
}

} // namespace

extern const Format JpegFormat = {"JPEG", matches, inspect, nullptr, decode};
