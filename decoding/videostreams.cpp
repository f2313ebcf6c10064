#include "decoding/videostreams.h"

#include "decoding/bitreader.h"

#include <string>

namespace {

// The bytes of a NAL unit's payload without its emulation prevention bytes
// (a 3 after two zero bytes).
std::string withoutEmulationPrevention(std::string_view nal)
{
    std::string bytes;
    bytes.reserve(nal.size());
    int zeros = 0;
    for (const char c : nal) {
        const auto byte = static_cast<unsigned char>(c);
        if (zeros >= 2 && byte == 3) {
            zeros = 0;
            continue;
        }
        zeros = byte == 0 ? zeros + 1 : 0;
        bytes.push_back(c);
    }
    return bytes;
}

// profile_tier_level(1, maxSubLayersMinus1), read past.
void skipProfileTierLevel(BitReader &in, int maxSubLayersMinus1)
{
    in.skip(96); // the general profile, tier and level
    bool profilePresent[8] = {};
    bool levelPresent[8] = {};
    for (int i = 0; i < maxSubLayersMinus1; ++i) {
        profilePresent[i] = in.bits(1) != 0;
        levelPresent[i] = in.bits(1) != 0;
    }
    if (maxSubLayersMinus1 > 0)
        in.skip(2 * static_cast<std::size_t>(8 - maxSubLayersMinus1));
    for (int i = 0; i < maxSubLayersMinus1; ++i)
        in.skip((profilePresent[i] ? 88 : 0) + (levelPresent[i] ? 8 : 0));
}

} // namespace

int hevcUnitType(std::string_view nal)
{
    return nal.empty() ? -1 : static_cast<unsigned char>(nal[0]) >> 1 & 0x3f;
}

std::optional<CodedSize> hevcSequenceSize(std::string_view nal)
{
    if (hevcUnitType(nal) != HevcSequenceParameterSet || nal.size() < 3)
        return std::nullopt;
    const std::string payload = withoutEmulationPrevention(nal.substr(2));
    BitReader in(payload);
    in.skip(4); // sps_video_parameter_set_id
    const auto maxSubLayersMinus1 = static_cast<int>(in.bits(3));
    in.skip(1);
    if (maxSubLayersMinus1 > 6)
        return std::nullopt;
    skipProfileTierLevel(in, maxSubLayersMinus1);
    in.expGolomb(); // sps_seq_parameter_set_id
    const std::uint32_t chroma = in.expGolomb();
    if (chroma == 3)
        in.skip(1); // separate_colour_plane_flag
    CodedSize size;
    size.width = in.expGolomb();
    size.height = in.expGolomb();
    std::uint64_t left = 0, right = 0, top = 0, bottom = 0;
    if (in.bits(1) != 0) {
        left = in.expGolomb();
        right = in.expGolomb();
        top = in.expGolomb();
        bottom = in.expGolomb();
    }
    if (in.failed() || chroma > 3 || size.width == 0 || size.height == 0)
        return std::nullopt;
    // Offsets count chroma samples: two luma samples across in 4:2:0 and
    // 4:2:2, two down in 4:2:0.
    const std::uint64_t across = chroma == 1 || chroma == 2 ? 2 : 1;
    const std::uint64_t down = chroma == 1 ? 2 : 1;
    const std::uint64_t croppedAcross = across * (left + right);
    const std::uint64_t croppedDown = down * (top + bottom);
    if (croppedAcross >= size.width || croppedDown >= size.height)
        return std::nullopt;
    size.shownWidth = size.width - croppedAcross;
    size.shownHeight = size.height - croppedDown;
    return size;
}

bool hevcStartsPicture(std::string_view nal)
{
    // Slice segments are types 0 to 31; first_slice_segment_in_pic_flag is
    // the first bit after the two-byte header.
    const int type = hevcUnitType(nal);
    return type >= 0 && type <= 31 && nal.size() > 2 && (static_cast<unsigned char>(nal[2]) & 0x80);
}

std::optional<CodedSize> av1SequenceSize(std::string_view payload)
{
    BitReader in(payload);
    in.skip(3); // seq_profile
    in.skip(1); // still_picture
    const bool reduced = in.bits(1) != 0;
    if (reduced) {
        in.skip(5); // seq_level_idx[0]
    } else {
        bool decoderModel = false;
        std::uint32_t bufferDelayLength = 0;
        if (in.bits(1) != 0) { // timing_info_present_flag
            in.skip(64); // num_units_in_display_tick, time_scale
            if (in.bits(1) != 0) // equal_picture_interval
                in.uvlc();
            decoderModel = in.bits(1) != 0;
            if (decoderModel) {
                bufferDelayLength = in.bits(5) + 1;
                in.skip(32 + 5 + 5);
            }
        }
        const bool initialDisplayDelay = in.bits(1) != 0;
        const std::uint32_t operatingPoints = in.bits(5) + 1;
        for (std::uint32_t i = 0; i < operatingPoints && !in.failed(); ++i) {
            in.skip(12); // operating_point_idc
            if (in.bits(5) > 7) // seq_level_idx
                in.skip(1); // seq_tier
            if (decoderModel && in.bits(1) != 0)
                in.skip(2 * static_cast<std::size_t>(bufferDelayLength) + 1);
            if (initialDisplayDelay && in.bits(1) != 0)
                in.skip(4);
        }
    }
    const int widthBits = static_cast<int>(in.bits(4)) + 1;
    const int heightBits = static_cast<int>(in.bits(4)) + 1;
    CodedSize size;
    size.width = std::uint64_t {in.bits(widthBits)} + 1;
    size.height = std::uint64_t {in.bits(heightBits)} + 1;
    if (in.failed())
        return std::nullopt;
    size.shownWidth = size.width;
    size.shownHeight = size.height;
    return size;
}

std::optional<Av1ObuHeader> av1ObuHeader(std::string_view start)
{
    if (start.empty())
        return std::nullopt;
    const auto first = static_cast<unsigned char>(start[0]);
    Av1ObuHeader header;
    header.type = first >> 3 & 0x0f;
    const bool extension = (first & 0x04) != 0;
    const bool sized = (first & 0x02) != 0;
    header.length = extension ? 2 : 1;
    if (!sized)
        return header.length <= start.size() ? std::optional(header) : std::nullopt;
    // leb128: seven bits a byte, least significant first, at most eight bytes.
    std::uint64_t payload = 0;
    for (int i = 0;; ++i) {
        if (i == 8 || header.length >= start.size())
            return std::nullopt;
        const auto byte = static_cast<unsigned char>(start[header.length++]);
        payload |= std::uint64_t {byte & 0x7fu} << (7 * i);
        if ((byte & 0x80) == 0)
            break;
    }
    header.payload = payload;
    return header;
}
