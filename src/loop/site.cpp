// Site: the default in-memory extent and its resize notification.
#include "vantrel/error.hpp"
#include "vantrel/platform.hpp"

namespace vantrel {

namespace {
void checkSize(int32_t size, const char* which) {
    if (size < 0)
        throw Error(err::InvalidPropertyValue,
                    std::string(which) + " cannot be negative: " + std::to_string(size));
}
}  // namespace

void Site::Height(int32_t height) {
    checkSize(height, "Height");
    if (height == height_) return;
    height_ = height;
    notifyResize();
}

void Site::Width(int32_t width) {
    checkSize(width, "Width");
    if (width == width_) return;
    width_ = width;
    notifyResize();
}

void Site::notifyResize() {
    // A copy: the handler may release the control, which clears onResize_ while it runs.
    if (auto onResize = onResize_) onResize();
}

}  // namespace vantrel
