// The nesting flags of the converter operations (m_InAdcRead, m_InSelfTest, m_InResync).
#pragma once

namespace vantrel::adc {

// Sets a nesting flag for the life of an operation. An operation that ends normally says how
// it leaves the flag (clear() or keep()); one that ends with an error puts the flag back to
// what it was, so that a failed call does not silence the control's later events.
class NestingFlag {
  public:
    explicit NestingFlag(bool& flag) : flag_(flag), before_(flag) { flag_ = true; }
    ~NestingFlag() {
        if (armed_) flag_ = before_;
    }
    NestingFlag(const NestingFlag&) = delete;
    NestingFlag& operator=(const NestingFlag&) = delete;

    // The normal end: the flag is cleared, whatever it held before.
    void clear() {
        flag_ = false;
        armed_ = false;
    }
    // The normal end where a nested operation has already set the flag as it must stay.
    void keep() { armed_ = false; }

  private:
    bool& flag_;
    bool before_;
    bool armed_ = true;
};

}  // namespace vantrel::adc
