// vantrel: the serial component over whichever link serves the device.
#include "transport/serial_base.hpp"

#include <cctype>
#include <charconv>
#include <utility>

#include "vantrel/error.hpp"

namespace vantrel {

std::optional<uint32_t> parseUnsigned(std::string_view text) {
    uint32_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size()) return {};
    return value;
}

std::string LineFormat::text() const {
    return std::to_string(bauds) + ',' + parity + ',' + std::to_string(dataBits) + ',' +
           std::to_string(stopBits);
}

std::optional<LineFormat> parseLineFormat(std::string_view text) {
    std::string_view fields[4];
    for (std::size_t i = 0; i < 4; ++i) {
        const std::size_t comma = text.find(',');
        if ((comma == std::string_view::npos) != (i == 3)) return {};
        fields[i] = text.substr(0, comma);
        if (comma != std::string_view::npos) text.remove_prefix(comma + 1);
    }
    const auto bauds = parseUnsigned(fields[0]);
    const auto data = parseUnsigned(fields[2]);
    const auto stop = parseUnsigned(fields[3]);
    if (!bauds || *bauds == 0 || !data || *data < 5 || *data > 8 || !stop ||
        (*stop != 1 && *stop != 2) || fields[1].size() != 1)
        return {};
    LineFormat f;
    f.bauds = *bauds;
    f.parity = static_cast<char>(std::toupper(static_cast<unsigned char>(fields[1][0])));
    if (f.parity != 'N' && f.parity != 'E' && f.parity != 'O') return {};
    f.dataBits = static_cast<uint8_t>(*data);
    f.stopBits = static_cast<uint8_t>(*stop);
    return f;
}

SerialBase::SerialBase(EventLoop& loop, std::size_t inBufferSize, DeviceResolver resolve,
                       LinkChooser choose)
    : loop_(loop),
      inLimit_(inBufferSize),
      resolve_(std::move(resolve)),
      choose_(std::move(choose)) {
    if (inBufferSize == 0) throw Error(err::InvalidPropertyValue);
    kind_ = &choose_("");
    link_ = kind_->make(loop_, *this);
}

SerialBase::~SerialBase() {
    *alive_ = false;
    // The link closes its device and may still clear the queue: it goes before the buffers.
    link_.reset();
}

void SerialBase::CommPort(int16_t port) {
    if (port < 1 || port > 255) throw Error(err::InvalidPortNumber, "Invalid port number");
    port_ = port;
}

void SerialBase::Settings(std::string_view settings) {
    const auto parsed = parseLineFormat(settings);
    if (!parsed || !link_->takes(*parsed)) throw Error(err::InvalidPropertyValue);
    if (link_->isOpen()) link_->apply(*parsed);
    format_ = *parsed;
}

void SerialBase::PortOpen(bool open) {
    if (!open) {
        link_->close();
        return;
    }
    try {
        if (link_->isOpen()) throw Error(err::PortAlreadyOpen, "Port already open");
        const std::string device = resolve_(port_);
        const LinkKind& kind = choose_(device);
        if (&kind != kind_) {
            std::unique_ptr<Link> next = kind.make(loop_, *this);
            if (!next->takes(format_)) throw Error(err::InvalidPropertyValue);
            // The link being replaced may be inside a notification (a handler that closes the
            // port and opens another kind): notify() tells it that it is gone.
            link_ = std::move(next);
            kind_ = &kind;
            ++linkId_;
        }
        link_->open(device, format_);
        lastOpenError_.clear();
    } catch (const std::exception& e) {
        lastOpenError_ = e.what();
        throw;
    }
}

void SerialBase::Output(std::string_view bytes) {
    if (!link_->isOpen()) throw Error(err::PortNotOpen, "Port not open");
    link_->write(bytes);
}

void SerialBase::deliverPending() {
    if (link_->isOpen()) link_->deliverPending();
}

std::string SerialBase::Input() {
    std::string bytes(in_.data() + inStart_, in_.size() - inStart_);
    clearInput();
    return bytes;
}

void SerialBase::setOnComm(std::function<void()> onComm) {
    onComm_ = std::make_shared<std::function<void()>>(std::move(onComm));
}

bool SerialBase::store(std::string_view block) {
    const std::size_t held = in_.size() - inStart_;
    if (block.size() >= inLimit_) {
        in_.assign(block.substr(block.size() - inLimit_));
        inStart_ = 0;
        return held + block.size() > inLimit_;
    }
    in_.append(block);
    if (held + block.size() <= inLimit_) return false;
    inStart_ += held + block.size() - inLimit_;
    if (inStart_ >= inLimit_) {
        in_.erase(0, inStart_);
        inStart_ = 0;
    }
    return true;
}

void SerialBase::clearInput() {
    in_.clear();
    inStart_ = 0;
}

void SerialBase::queue(std::string_view bytes) {
    if (outPos_ > 0 && outPos_ >= out_.size() / 2) {
        out_.erase(0, outPos_);
        outPos_ = 0;
    }
    out_.append(bytes);
}

std::string_view SerialBase::pendingOutput() const {
    return std::string_view(out_).substr(outPos_);
}

void SerialBase::consumeOutput(std::size_t n) {
    outPos_ += n;
    if (outPos_ >= out_.size()) clearOutput();
}

void SerialBase::clearOutput() {
    out_.clear();
    outPos_ = 0;
}

bool SerialBase::notify(int16_t code) {
    event_ = code;
    if (!onComm_ || !*onComm_) return true;
    const std::shared_ptr<bool> alive = alive_;
    const std::shared_ptr<std::function<void()>> onComm = onComm_;
    const uint64_t link = linkId_;
    (*onComm)();
    return *alive && linkId_ == link;
}

}  // namespace vantrel
