#include "XrmProtocol.h"

#include "ByteReader.h"

namespace {

enum OptionCode : uint8_t { kOptModel = 1, kOptMac = 2, kOptAddress = 3, kOptSecondText = 4, kOptValue = 5 };

class Writer {
  public:
    explicit Writer(std::span<uint8_t> buffer) : m_buffer(buffer) {}
    bool Fits(size_t count) const { return m_buffer.size() - m_length >= count; }
    void U8(uint8_t value) { m_buffer[m_length++] = value; }
    void U32Le(uint32_t value) {
        for (int i = 0; i < 4; ++i) {
            U8(static_cast<uint8_t>(value >> (8 * i)));
        }
    }
    void Bytes(std::span<const uint8_t> bytes) {
        for (uint8_t b : bytes) {
            U8(b);
        }
    }
    size_t Length() const { return m_length; }

  private:
    std::span<uint8_t> m_buffer;
    size_t m_length = 0;
};

bool PutOption(Writer& writer, uint8_t code, std::span<const uint8_t> data) {
    if (!writer.Fits(2 + data.size())) {
        return false;
    }
    writer.U8(code);
    writer.U8(static_cast<uint8_t>(data.size()));
    writer.Bytes(data);
    return true;
}

std::span<const uint8_t> AsBytes(const std::string& text) {
    return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

std::string Text(std::span<const uint8_t> data) {
    const size_t kept = data.size() < kXrmTextLength ? data.size() : kXrmTextLength;
    return std::string(reinterpret_cast<const char*>(data.data()), kept);
}

}  // namespace

std::optional<size_t> BuildXrmDatagram(std::span<uint8_t> buffer, const XrmAnswer& record) {
    if (buffer.size() < 5) {
        return std::nullopt;
    }
    Writer writer(buffer);
    writer.U8(static_cast<uint8_t>(record.type));
    writer.U32Le(record.identifier);
    switch (record.type) {
        case kXrmQuery:
        case kXrmAcknowledgement:
            return writer.Length();
        case kXrmRecord:
        case kXrmRecordAlt1:
        case kXrmRecordAlt2:
            break;
        default:
            return std::nullopt;
    }
    if (!record.model.empty() && record.model.size() <= 254 && !PutOption(writer, kOptModel, AsBytes(record.model))) {
        return std::nullopt;
    }
    if (!PutOption(writer, kOptMac, record.mac)) {
        return std::nullopt;
    }
    if (!record.secondText.empty() && record.secondText.size() <= 254 &&
        !PutOption(writer, kOptSecondText, AsBytes(record.secondText))) {
        return std::nullopt;
    }
    const std::array<uint8_t, 4> value{static_cast<uint8_t>(record.value), static_cast<uint8_t>(record.value >> 8),
                                       static_cast<uint8_t>(record.value >> 16),
                                       static_cast<uint8_t>(record.value >> 24)};
    if (!PutOption(writer, kOptValue, value)) {
        return std::nullopt;
    }
    return writer.Length();
}

std::optional<XrmAnswer> ParseXrmDatagram(std::span<const uint8_t> datagram) {
    ByteReader reader(datagram);
    const auto type = reader.U8();
    const auto identifier = reader.U32Le();
    if (!type || !identifier) {
        return std::nullopt;
    }
    XrmAnswer answer;
    answer.type = *type;
    answer.identifier = *identifier;
    while (reader.Remaining() > 2) {
        const uint8_t code = *reader.U8();
        const uint8_t length = *reader.U8();
        const auto data = reader.Bytes(length);
        if (!data) {
            return std::nullopt;
        }
        switch (code) {
            case kOptModel:
            case kOptSecondText:
                if (length == 0) {
                    return std::nullopt;
                }
                (code == kOptModel ? answer.model : answer.secondText) = Text(*data);
                break;
            case kOptMac:
                if (length != 6) {
                    return std::nullopt;
                }
                std::copy(data->begin(), data->end(), answer.mac.begin());
                break;
            case kOptAddress:
                if (length != 4) {
                    return std::nullopt;
                }
                std::copy(data->begin(), data->end(), answer.address.begin());
                break;
            case kOptValue: {
                if (length != 4) {
                    return std::nullopt;
                }
                answer.value = *ByteReader(*data).U32Le();
                break;
            }
            default:
                return std::nullopt;
        }
    }
    if (!reader.AtEnd()) {
        return std::nullopt;
    }
    return answer;
}
