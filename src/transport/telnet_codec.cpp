// vantrel: the telnet side of RFC 2217, without I/O.
#include "transport/telnet_codec.hpp"

#include "vantrel/platform.hpp"

namespace vantrel::telnet {

void appendEscaped(std::string& out, std::string_view data) {
    std::size_t start = 0;
    for (std::size_t i = 0; i < data.size(); ++i) {
        if (static_cast<uint8_t>(data[i]) != IAC) continue;
        out.append(data.substr(start, i + 1 - start));
        out.push_back(static_cast<char>(IAC));
        start = i + 1;
    }
    out.append(data.substr(start));
}

std::string negotiation(uint8_t verb, uint8_t option) {
    return {static_cast<char>(IAC), static_cast<char>(verb), static_cast<char>(option)};
}

std::string comPortCommand(uint8_t command, std::string_view value) {
    std::string out{static_cast<char>(IAC), static_cast<char>(SB), static_cast<char>(kComPort),
                    static_cast<char>(command)};
    appendEscaped(out, value);
    out.push_back(static_cast<char>(IAC));
    out.push_back(static_cast<char>(SE));
    return out;
}

std::string baudValue(uint32_t bauds) {
    return {static_cast<char>(bauds >> 24), static_cast<char>(bauds >> 16),
            static_cast<char>(bauds >> 8), static_cast<char>(bauds)};
}

uint32_t baudFromValue(std::string_view value) {
    if (value.size() != 4) return 0;
    uint32_t bauds = 0;
    for (const char c : value) bauds = (bauds << 8) | static_cast<uint8_t>(c);
    return bauds;
}

void Decoder::feed(std::string_view in, std::string& data, std::vector<Command>& commands) {
    std::size_t runStart = 0;  // start of the current run of plain data bytes
    for (std::size_t i = 0; i < in.size(); ++i) {
        const auto b = static_cast<uint8_t>(in[i]);
        switch (state_) {
            case State::Data:
                if (b == IAC) {
                    data.append(in.substr(runStart, i - runStart));
                    state_ = State::Iac;
                }
                continue;
            case State::Iac:
                if (b == IAC) {
                    data.push_back(static_cast<char>(IAC));
                    state_ = State::Data;
                } else if (b >= WILL) {
                    verb_ = b;
                    state_ = State::Verb;
                } else if (b == SB) {
                    state_ = State::SbOption;
                } else {
                    state_ = State::Data;  // NOP, GA, DM and the like carry nothing for us
                }
                break;
            case State::Verb:
                commands.push_back(Command{verb_, b, {}});
                state_ = State::Data;
                break;
            case State::SbOption:
                sb_.verb = SB;
                sb_.option = b;
                sb_.payload.clear();
                state_ = State::Sb;
                break;
            case State::Sb:
                if (b == IAC) {
                    state_ = State::SbIac;
                } else if (sb_.payload.size() < kMaxPayload) {
                    sb_.payload.push_back(static_cast<char>(b));
                }
                break;
            case State::SbIac:
                if (b == IAC) {
                    if (sb_.payload.size() < kMaxPayload)
                        sb_.payload.push_back(static_cast<char>(b));
                    state_ = State::Sb;
                } else if (b == SE) {
                    commands.push_back(sb_);
                    state_ = State::Data;
                } else {
                    // IAC and anything but SE or IAC inside a subnegotiation: the peer broke
                    // off; drop the subnegotiation and read on.
                    state_ = State::Data;
                }
                break;
        }
        runStart = i + 1;
    }
    if (state_ == State::Data) data.append(in.substr(runStart));
}

bool Options::acceptLocal(uint8_t option) {
    return option == kBinary || option == kSuppressGoAhead || option == kComPort;
}

bool Options::acceptRemote(uint8_t option) {
    return option == kBinary || option == kSuppressGoAhead;
}

std::string Options::requestLocal(uint8_t option) {
    if (local_[option] != State::No) return {};
    local_[option] = State::WantYes;
    return negotiation(WILL, option);
}

std::string Options::requestRemote(uint8_t option) {
    if (remote_[option] != State::No) return {};
    remote_[option] = State::WantYes;
    return negotiation(DO, option);
}

std::string Options::answer(uint8_t verb, uint8_t option) {
    const bool aboutUs = verb == DO || verb == DONT;
    const bool enable = verb == DO || verb == WILL;
    State& state = aboutUs ? local_[option] : remote_[option];
    const uint8_t yes = aboutUs ? WILL : DO;
    const uint8_t no = aboutUs ? WONT : DONT;
    if (enable) {
        if (state == State::Yes) return {};
        if (state == State::WantYes) {
            state = State::Yes;  // the answer to our own request
            return {};
        }
        if (aboutUs ? acceptLocal(option) : acceptRemote(option)) {
            state = State::Yes;
            return negotiation(yes, option);
        }
        return negotiation(no, option);
    }
    const State before = state;
    state = State::No;
    // A refusal of our request needs no answer; switching off what was on is acknowledged.
    return before == State::Yes ? negotiation(no, option) : std::string{};
}

void lineStateEvents(uint8_t value, std::vector<int16_t>& events) {
    if (value & 0x10) events.push_back(comm::Break);
    if (value & 0x08) events.push_back(comm::Frame);
    if (value & 0x02) events.push_back(comm::Overrun);
    if (value & 0x04) events.push_back(comm::RxParity);
}

void modemStateEvents(uint8_t previous, uint8_t value, std::vector<int16_t>& events) {
    const uint8_t changed =
        static_cast<uint8_t>((value & cpo::kModemDeltaMask) | (((previous ^ value) >> 4) & 0x0F));
    if (changed & 0x01) events.push_back(comm::CTS);
    if (changed & 0x02) events.push_back(comm::DSR);
    if (changed & 0x08) events.push_back(comm::CD);
    if (changed & 0x04) events.push_back(comm::Ring);
}

}  // namespace vantrel::telnet
