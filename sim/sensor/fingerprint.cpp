#include "sensor/fingerprint.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace sim {
namespace {

// A small deterministic generator (xorshift), so that images do not depend on the library's
// random engines.
class Random {
  public:
    explicit Random(std::uint32_t seed) : state_(seed * 2654435761u + 0x9E3779B9u) {}
    double uniform() {  // [0, 1)
        state_ ^= state_ << 13;
        state_ ^= state_ >> 17;
        state_ ^= state_ << 5;
        return state_ / 4294967296.0;
    }

  private:
    std::uint32_t state_;
};

// Pixel noise from the position alone: the sensor's grain.
double grain(unsigned x, unsigned y, std::uint32_t seed) {
    std::uint32_t h = x * 374761393u + y * 668265263u + seed * 2246822519u;
    h = (h ^ (h >> 13)) * 1274126177u;
    return ((h ^ (h >> 16)) & 0xFFFF) / 65535.0 - 0.5;
}

}  // namespace

std::vector<std::uint8_t> fingerprintImage(unsigned width, unsigned height, std::uint32_t seed) {
    Random random(seed);
    const double w = width;
    const double h = height;
    // The core sits near the middle; the ridge spacing is about 8 pixels on a 500 dpi sensor.
    const double coreX = w * (0.44 + 0.12 * random.uniform());
    const double coreY = h * (0.40 + 0.12 * random.uniform());
    const double period = 7.0 + 2.5 * random.uniform();
    // Ridges wind once around the core, one way or the other: a whole turn keeps them seamless.
    const double turn = random.uniform() < 0.5 ? -1.0 : 1.0;
    const double tilt = (random.uniform() - 0.5) * 0.5;  // the finger's rotation, radians
    const double oval2 = 0.10 + 0.12 * random.uniform();
    const double oval3 = 0.04 + 0.06 * random.uniform();
    const double phase2 = 2 * std::numbers::pi * random.uniform();
    const double phase3 = 2 * std::numbers::pi * random.uniform();
    const double waveX = 0.03 + 0.03 * random.uniform();
    const double waveY = 0.03 + 0.03 * random.uniform();
    const double wavePhase = 2 * std::numbers::pi * random.uniform();

    std::vector<std::uint8_t> image(static_cast<std::size_t>(width) * height);
    for (unsigned y = 0; y < height; ++y)
        for (unsigned x = 0; x < width; ++x) {
            const double dx = x - coreX;
            const double dy = y - coreY;
            const double rx = dx * std::cos(tilt) + dy * std::sin(tilt);
            const double ry = -dx * std::sin(tilt) + dy * std::cos(tilt);
            // Ovals around the core, drawn out along the finger and dented by two harmonics of
            // the angle, with a slow wave so that no two ridges run alike.
            const double angle = std::atan2(ry, rx);
            const double radius =
                std::hypot(rx, ry * 0.75) *
                (1 + oval2 * std::cos(2 * angle + phase2) + oval3 * std::cos(3 * angle + phase3));
            const double phase = 2 * std::numbers::pi * radius / period + turn * angle +
                                 1.3 * std::sin(waveX * x + waveY * y + wavePhase);
            // Ridges are narrower than the valleys between them.
            const double ridge = std::pow(0.5 + 0.5 * std::cos(phase), 1.6);

            // The fingertip's oval: full contact in the middle, fading towards its edge.
            const double ex = (x - w / 2) / (w * 0.46);
            const double ey = (y - h * 0.52) / (h * 0.47);
            const double edge = std::sqrt(ex * ex + ey * ey);
            const double contact = std::clamp((1.0 - edge) / 0.15, 0.0, 1.0);

            const double ink = contact * (0.08 + 0.82 * ridge) + 0.10 * grain(x, y, seed);
            image[static_cast<std::size_t>(y) * width + x] =
                static_cast<std::uint8_t>(std::clamp(248.0 - 235.0 * ink, 0.0, 255.0));
        }
    return image;
}

}  // namespace sim
