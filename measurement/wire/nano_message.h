// NANOMessageBase is what every wire message wrapper is: the owner of one wire::Message, its
// type's name and its wire bytes. The wrappers themselves, APMPBEvent, APMPBMeasurementBundle and
// the rest, are generated into apmpb.h from NANOMessage below; their fields are read and written
// with the APMPB* operations of access.h.
//
//   APMPBEvent event;                                      // an empty message
//   std::optional<APMPBEvent> decoded = APMPBEvent::initWithBuffer(bytes);   // nullopt: bad bytes
//   std::optional<os::Data> wire = event.protoBuffer();
//
// A wrapper is a value: copying one copies its whole message tree. A moved-from wrapper holds no
// message; the access operations then log that it is not initialised and answer neutral values.
#pragma once

#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <utility>

#include "measurement/wire/decode.h"
#include "measurement/wire/message.h"
#include "os/value/value.h"

class NANOMessageBase {
 public:
  // The message's name ("MeasurementBundle").
  const char* messageID() const { return type_->name; }
  const wire::MessageType& messageType() const { return *type_; }
  // The message tree, or nullptr once moved from.
  const wire::Message* messageInfo() const { return info_.get(); }
  wire::Message* messageInfo() { return info_.get(); }
  // The wire bytes, or nullopt when there is no message or encoding fails.
  std::optional<os::Data> protoBuffer() const;
  // The wrapper class's name, "APMPB" followed by the message's name.
  std::string className() const { return std::string("APMPB") + type_->name; }

 protected:
  NANOMessageBase(const wire::MessageType& type, wire::MessagePtr info)
      : type_(&type), info_(std::move(info)) {}
  // Copies are deep; only a wrapper of the same class copies or moves (no slicing).
  NANOMessageBase(const NANOMessageBase& other);
  NANOMessageBase& operator=(const NANOMessageBase& other);
  NANOMessageBase(NANOMessageBase&& other) noexcept = default;
  NANOMessageBase& operator=(NANOMessageBase&& other) noexcept = default;
  ~NANOMessageBase() = default;

 private:
  const wire::MessageType* type_;
  wire::MessagePtr info_;
};

template <class Self, const wire::MessageType& kType>
class NANOMessage : public NANOMessageBase {
 protected:
  struct Adopt {};

 public:
  // An empty message: singular fields absent, repeated fields empty.
  NANOMessage() : NANOMessageBase(kType, wire::initMessageInfo(kType)) {}
  // Takes `info`, a message of this type; only the factories below can name Adopt.
  NANOMessage(Adopt, wire::MessagePtr info) : NANOMessageBase(kType, std::move(info)) {}

  static const wire::MessageType& type() { return kType; }

  // Decodes wire bytes; empty bytes give an empty message, bytes that do not decode nullopt.
  static std::optional<Self> initWithBuffer(std::span<const uint8_t> bytes) {
    wire::MessagePtr info = wire::decodeMessageInfo(kType, bytes.data(), bytes.size());
    if (!info) return std::nullopt;
    return Self(Adopt{}, std::move(info));
  }

  // A deep copy of `info` (the caller keeps it); nullptr gives an empty message, a message of
  // another type nullopt.
  static std::optional<Self> initWithMessageInfo(const wire::Message* info) {
    if (info == nullptr) return Self();
    if (std::strcmp(info->name(), kType.name) != 0) return std::nullopt;
    return Self(Adopt{}, wire::copyMessageInfo(*info));
  }
};
