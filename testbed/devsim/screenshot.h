// The screenshot the simulated device streams after a get request: either a
// file given by the user or a generated test picture, and the plan of how it
// goes out (how many bytes, where the stream pauses).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace devsim {

constexpr int kPictureWidth = 480;
constexpr int kPictureHeight = 272;

// A recognisable 480 x 272 BGRA picture (colour bars, grey and colour ramps,
// a circle, a frame and a caption), fully opaque, 522240 bytes. Blue and red
// swapped or a shifted row show at a glance. It holds the bytes 0x00, 0x0A
// and 0x0D, which catch text-mode conversions on the way.
std::vector<uint8_t> MakeTestPicture();

struct StreamPlan {
    static constexpr uint64_t kNoPause = UINT64_MAX;
    uint64_t length = 0;        // bytes to send; the picture repeats when longer
    bool endless = false;       // ignore length, repeat until stopped
    uint64_t pause_after = kNoPause;
    int pause_ms = 0;
};

// One screenshot stream in progress.
class ScreenshotStream {
public:
    ScreenshotStream(const std::vector<uint8_t> &picture, StreamPlan plan);

    bool Done() const;
    // True when the stream stands at its pause point and has not paused yet.
    bool PauseDue() const;
    void PauseTaken() { paused_ = true; }
    int pause_ms() const { return plan_.pause_ms; }
    // Copies the next bytes (at most max) into out, never past the pause
    // point; returns how many. They count as sent only after Advance().
    size_t Peek(uint8_t *out, size_t max) const;
    void Advance(size_t sent) { position_ += sent; }
    uint64_t position() const { return position_; }

private:
    const std::vector<uint8_t> &picture_;
    StreamPlan plan_;
    uint64_t position_ = 0;
    bool paused_ = false;
};

}  // namespace devsim
