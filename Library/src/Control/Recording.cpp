// A servo loop's recording as bytes and as the .csv that the Python package
// and vantor plot read: one layout, here.
#include <charconv>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "Vantor/HardwareAPI/Control/ServoLoop.h"

namespace Vantor {
namespace HardwareAPI {
namespace Control {

const std::vector<SampleField>& ServoSampleLayout() {
    static const std::vector<SampleField> layout = {
        {"t", "<f8", offsetof(ServoSample, t), 1, "t"},
        {"position", "<f8", offsetof(ServoSample, position), 3, "x,y,z"},
        {"velocity", "<f8", offsetof(ServoSample, velocity), 3, "vx,vy,vz"},
        {"force", "<f8", offsetof(ServoSample, force), 3, "fx,fy,fz"},
        {"exchange_us", "<f8", offsetof(ServoSample, exchange_us), 1, "exchange_us"},
        {"jitter_us", "<f8", offsetof(ServoSample, jitter_us), 1, "jitter_us"},
        {"late", "u1", offsetof(ServoSample, late), 1, "late"},
        {"fault", "u1", offsetof(ServoSample, fault), 1, "fault"},
        {"energy", "<f8", offsetof(ServoSample, energy), 1, "energy"},
        {"filtered_velocity", "<f8", offsetof(ServoSample, filtered_velocity), 3, "fvx,fvy,fvz"},
        {"proxy", "<f8", offsetof(ServoSample, proxy), 3, "px,py,pz"},
    };
    return layout;
}

bool WriteRecordingCsv(const std::string& path, const ServoSample* samples, std::size_t count) {
    std::FILE* file = std::fopen(path.c_str(), "w");
    if (file == nullptr) return false;
    const std::vector<SampleField>& layout = ServoSampleLayout();
    for (std::size_t f = 0; f < layout.size(); ++f) std::fprintf(file, f ? ",%s" : "%s", layout[f].columns);
    std::fputc('\n', file);
    char number[32];
    for (std::size_t i = 0; i < count; ++i) {
        const auto* sample = reinterpret_cast<const unsigned char*>(samples + i);
        for (std::size_t f = 0; f < layout.size(); ++f) {
            const SampleField& field = layout[f];
            for (std::size_t k = 0; k < field.count; ++k) {
                std::size_t length;
                if (field.format[1] == 'f') {  // "<f8"
                    double value;
                    std::memcpy(&value, sample + field.offset + k * sizeof value, sizeof value);
                    // The shortest text that reads back as the same double.
                    length = static_cast<std::size_t>(std::to_chars(number, number + sizeof number, value).ptr - number);
                } else {  // "u1"
                    length = static_cast<std::size_t>(std::snprintf(number, sizeof number, "%u", sample[field.offset + k]));
                }
                if (f + k > 0) std::fputc(',', file);
                std::fwrite(number, 1, length, file);
            }
        }
        std::fputc('\n', file);
    }
    const bool written = std::ferror(file) == 0;
    return std::fclose(file) == 0 && written;
}

}  // namespace Control
}  // namespace HardwareAPI
}  // namespace Vantor
