// A host frame buffer over bytes a unit test owns, released with it.
#ifndef NRF24_TVB_H
#define NRF24_TVB_H

#include <string>
#include <vector>

#include <epan/tvbuff.h>

namespace nrf24_test {

class Frame {
public:
    explicit Frame(std::vector<guint8> bytes) : bytes_(std::move(bytes))
    {
        tvb_ = tvb_new_real_data(bytes_.data(), static_cast<guint>(bytes_.size()),
                                 static_cast<gint>(bytes_.size()));
    }
    ~Frame() { tvb_free(tvb_); }
    Frame(const Frame &) = delete;
    Frame &operator=(const Frame &) = delete;
    tvbuff_t *tvb() const { return tvb_; }

private:
    std::vector<guint8> bytes_;
    tvbuff_t *tvb_;
};

// "6565000a" -> { 0x65, 0x65, 0x00, 0x0a }
inline std::vector<guint8> FromHex(const std::string &hex)
{
    std::vector<guint8> bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes.push_back(static_cast<guint8>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    return bytes;
}

}  // namespace nrf24_test

#endif  // NRF24_TVB_H
