#include "cpp/EntityClass.h"

#include <cstring>
#include <new>

#include "cpp/Link.h"
#include "cpp/Module.h"
#include "cpp/UEIBytesReply.h"

namespace Tessaron {
namespace Corvalith {

namespace {

// The module's code from an error reply. A reply that says "error" with the
// code 0 must not read as success.
aErr sReplyError(const uei& u) {
  return u.v.byteVal != aErrNone ? u.v.byteVal : aErrUnknown;
}

}  // namespace

struct EntityClass::impl {
  explicit impl(EntityClass* owner) : entity(owner) {}
  EntityClass* entity;
  Module* module = nullptr;
  uint8_t entityClass = 0;
  uint8_t index = 0;
};

EntityClass::EntityClass() : m_impl(new (std::nothrow) impl(this)) {}

EntityClass::~EntityClass() = default;

void EntityClass::init(Module* module, uint8_t entityClass, uint8_t index) {
  if (!m_impl) return;
  m_impl->module = module;
  m_impl->entityClass = entityClass;
  m_impl->index = index;
}

uint8_t EntityClass::getIndex() const {
  return m_impl ? m_impl->index : 0;
}

uint8_t EntityClass::getClass() const {
  return m_impl ? m_impl->entityClass : 0;
}

Module* EntityClass::getModule() const {
  return m_impl ? m_impl->module : nullptr;
}

aErr EntityClass::sendPacket(uint8_t command, uint8_t length, const uint8_t* data) {
  Module* module = getModule();
  if (module == nullptr || module->getLink() == nullptr) return aErrResource;
  return module->getLink()->sendPacket(module->getModuleAddress(), command, length, data);
}

aErr EntityClass::receivePacket(const uint8_t* match, uint8_t* length, uint8_t* out) {
  Module* module = getModule();
  if (module == nullptr || module->getLink() == nullptr) return aErrResource;
  return module->getLink()->receivePacket(module->getModuleAddress(), match, length, out);
}

aErr EntityClass::getUEI(uint8_t option, uei* u) {
  Module* module = getModule();
  if (module == nullptr || module->getLink() == nullptr) return aErrResource;
  if (u == nullptr) return aErrParam;
  Link* link = module->getLink();
  const uint8_t address = module->getModuleAddress();
  const uint8_t bare = option & kUEIOptionMask;
  const uint8_t subindex = u->type == BYTE ? u->v.byteVal : 0;
  uint32_t cached = 0;
  aErr err = link->getStreamValue(address, m_impl->entityClass, bare, m_impl->index, subindex, &cached);
  if (err != aErrNotFound) {
    u->v.intVal = cached;
    return err;
  }
  u->module = address;
  u->command = m_impl->entityClass;
  u->option = static_cast<uint8_t>(bare | kUEIGet);
  u->specifier = static_cast<uint8_t>((m_impl->index & kUEIIndexMask) | kUEIRequest);
  err = link->sendUEI(*u);
  if (err != aErrNone) return err;
  u->option = bare;
  u->specifier = m_impl->index & kUEIIndexMask;
  err = link->receiveUEI(address, u->command, u->option, u->specifier, u);
  if (err == aErrNone && (u->specifier & kUEIError)) return sReplyError(*u);
  return err;
}

namespace {

// Shared by both set forms: withSubindex selects sendUEI(u, subindex).
aErr sSetExchange(Module* module, uint8_t entityClass, uint8_t index, uint8_t option, bool withSubindex,
                  uint8_t subindex, uei* u) {
  if (module == nullptr || module->getLink() == nullptr) return aErrResource;
  if (u == nullptr) return aErrParam;
  Link* link = module->getLink();
  const uint8_t bare = option & kUEIOptionMask;
  u->module = module->getModuleAddress();
  u->command = entityClass;
  u->option = static_cast<uint8_t>(bare | kUEISet);
  u->specifier = static_cast<uint8_t>((index & kUEIIndexMask) | kUEIRequest);
  aErr err = withSubindex ? link->sendUEI(*u, subindex) : link->sendUEI(*u);
  if (err != aErrNone) return err;
  u->option = static_cast<uint8_t>(bare | kUEIGet | kUEISet);
  u->specifier = index & kUEIIndexMask;
  err = link->receiveUEI(u->module, u->command, u->option, u->specifier, u);
  if (err == aErrNone && (u->specifier & kUEIError)) return sReplyError(*u);
  return err;
}

uei sValue(ueiType type, uint32_t value) {
  uei u{};
  u.type = type;
  switch (type) {
    case BYTE:
      u.v.byteVal = static_cast<uint8_t>(value);
      break;
    case SHORT:
      u.v.shortVal = static_cast<uint16_t>(value);
      break;
    case INT:
      u.v.intVal = value;
      break;
    default:
      break;
  }
  return u;
}

}  // namespace

aErr EntityClass::setUEI(uint8_t option, uei* u) {
  return sSetExchange(getModule(), getClass(), getIndex(), option, false, 0, u);
}

aErr EntityClass::setUEI(uint8_t option, uint8_t subindex, uei* u) {
  return sSetExchange(getModule(), getClass(), getIndex(), option, true, subindex, u);
}

aErr EntityClass::callUEI(uint8_t option) {
  uei u = sValue(VOID, 0);
  return setUEI(option, &u);
}

aErr EntityClass::setUEI8(uint8_t option, uint8_t value) {
  uei u = sValue(BYTE, value);
  return setUEI(option, &u);
}

aErr EntityClass::setUEI8(uint8_t option, uint8_t subindex, uint8_t value) {
  uei u = sValue(BYTE, value);
  return setUEI(option, subindex, &u);
}

aErr EntityClass::setUEI16(uint8_t option, uint16_t value) {
  uei u = sValue(SHORT, value);
  return setUEI(option, &u);
}

aErr EntityClass::setUEI16(uint8_t option, uint8_t subindex, uint16_t value) {
  uei u = sValue(SHORT, value);
  return setUEI(option, subindex, &u);
}

aErr EntityClass::setUEI32(uint8_t option, uint32_t value) {
  uei u = sValue(INT, value);
  return setUEI(option, &u);
}

aErr EntityClass::setUEI32(uint8_t option, uint8_t subindex, uint32_t value) {
  uei u = sValue(INT, value);
  return setUEI(option, subindex, &u);
}

namespace {

// Runs a get and checks that the reply carries a value of the expected
// width; a cached stream value has no width of its own.
aErr sGetScalar(EntityClass& entity, uint8_t option, bool withSubindex, uint8_t subindex, ueiType expected,
                uei* u) {
  *u = withSubindex ? sValue(BYTE, subindex) : sValue(VOID, 0);
  const aErr err = entity.getUEI(option, u);
  if (err == aErrNone && u->type != expected) return aErrSize;
  return err;
}

bool sStored(aErr err) {
  return err == aErrNone || err == aErrStreamStale;
}

}  // namespace

namespace {

// A scalar reply's value as T. An error reply keeps its code in intVal.
template <typename T>
aErr sGetTyped(EntityClass& entity, uint8_t option, bool hasSubindex, uint8_t subindex, ueiType type,
               T* out) {
  if (out == nullptr) return aErrParam;
  uei u;
  const aErr err = sGetScalar(entity, option, hasSubindex, subindex, type, &u);
  if (!sStored(err)) return err;
  if (err != aErrNone || type == INT) {
    *out = static_cast<T>(u.v.intVal);
  } else {
    *out = static_cast<T>(type == BYTE ? u.v.byteVal : u.v.shortVal);
  }
  return err;
}

}  // namespace

aErr EntityClass::getUEI8(uint8_t option, uint8_t* out) {
  return sGetTyped(*this, option, false, 0, BYTE, out);
}

aErr EntityClass::getUEI8(uint8_t option, uint8_t subindex, uint8_t* out) {
  return sGetTyped(*this, option, true, subindex, BYTE, out);
}

aErr EntityClass::getUEI16(uint8_t option, uint16_t* out) {
  return sGetTyped(*this, option, false, 0, SHORT, out);
}

aErr EntityClass::getUEI16(uint8_t option, uint8_t subindex, uint16_t* out) {
  return sGetTyped(*this, option, true, subindex, SHORT, out);
}

aErr EntityClass::getUEI32(uint8_t option, uint32_t* out) {
  return sGetTyped(*this, option, false, 0, INT, out);
}

aErr EntityClass::getUEI32(uint8_t option, uint8_t subindex, uint32_t* out) {
  return sGetTyped(*this, option, true, subindex, INT, out);
}

aErr EntityClass::setUEIBytes(uint8_t option, const uint8_t* data, size_t length) {
  if (length > UINT32_MAX || (data == nullptr && length > 0)) return aErrParam;
  uei u{};
  u.type = BYTES;
  u.v.bytesVal.data = data;
  u.v.bytesVal.length = static_cast<uint32_t>(length);
  return setUEI(option, &u);
}

aErr EntityClass::getUEIBytes(uint8_t option, uint8_t* buffer, size_t capacity, size_t* count) {
  if (buffer == nullptr || count == nullptr || capacity == 0) return aErrParam;
  *count = 0;
  Module* module = getModule();
  if (module == nullptr || module->getLink() == nullptr) return aErrResource;
  Link* link = module->getLink();
  const uint8_t bare = option & kUEIOptionMask;
  uei request = sValue(VOID, 0);
  request.module = module->getModuleAddress();
  request.command = m_impl->entityClass;
  request.option = static_cast<uint8_t>(bare | kUEIGet);
  request.specifier = static_cast<uint8_t>((m_impl->index & kUEIIndexMask) | kUEIRequest);
  aErr err = link->sendUEI(request);
  if (err != aErrNone) return err;

  UEIBytesReply state{};
  state.record = request;
  state.record.option = bare;
  state.record.specifier = m_impl->index & kUEIIndexMask;
  state.write = buffer;
  state.capacity = capacity;
  state.more = true;
  // Bounded: each round takes one packet within the time-out or ends.
  while (state.more) {
    state.more = false;
    err = link->receiveUEI(request.module, request.command, bare, state.record.specifier, &state.record,
                           ueiBytesReplyFilter, &state);
    if (err != aErrNone) return err;
    if (state.error != aErrNone) return state.error;
    *count = state.count;
    state.sequence = static_cast<uint8_t>((state.sequence + 1) & kUEIBytesSequenceMask);
  }
  return aErrNone;
}

aErr EntityClass::getUEIBytesCheck(size_t* count, size_t unit) {
  if (count == nullptr || unit == 0) return aErrParam;
  if (*count % unit != 0) return kUEIBytesDoNotFit;
  *count /= unit;
  return aErrNone;
}

aErr EntityClass::awaitUEI32Val(uint8_t option, uint32_t* out) {
  if (out == nullptr) return aErrParam;
  Module* module = getModule();
  if (module == nullptr || module->getLink() == nullptr) return aErrResource;
  uei u{};
  u.module = module->getModuleAddress();
  u.command = m_impl->entityClass;
  u.option = option;
  u.specifier = m_impl->index & kUEIIndexMask;
  u.type = VOID;
  const aErr err = module->getLink()->receiveUEI(u.module, u.command, u.option, u.specifier, &u);
  if (err != aErrNone) return err;
  if (u.specifier & kUEIError) return sReplyError(u);
  if (u.type != INT) return aErrSize;
  *out = u.v.intVal;
  return aErrNone;
}

aErr EntityClass::drainUEI(uint8_t option) {
  Module* module = getModule();
  if (module == nullptr || module->getLink() == nullptr) return aErrResource;
  return module->getLink()->dropMatchingUEIPackets(module->getModuleAddress(), m_impl->entityClass, option,
                                                   m_impl->index & kUEIIndexMask);
}

aErr EntityClass::setStreamEnabled(bool enable) {
  Module* module = getModule();
  if (module == nullptr || module->getLink() == nullptr) return aErrResource;
  return module->getLink()->enableStream(module->getModuleAddress(), m_impl->entityClass, Link::kStreamAny,
                                         m_impl->index, enable);
}

aErr EntityClass::getStreamStatus(Link::StreamStatusEntry* entries, size_t capacity, size_t* count) {
  Module* module = getModule();
  if (module == nullptr || module->getLink() == nullptr) return aErrResource;
  return module->getLink()->getStreamStatus(module->getModuleAddress(), m_impl->entityClass, Link::kStreamAny,
                                            m_impl->index, Link::kStreamAny, entries, capacity, count);
}

namespace {

aErr sEntityStore(EntityClass& entity, uint8_t option) {
  EntityClass store;
  store.init(entity.getModule(), kEntityStoreClass, 0);
  return store.setUEI32(option, uint32_t{entity.getClass()} * 256 + entity.getIndex());
}

}  // namespace

aErr EntityClass::saveEntityToStore() {
  return sEntityStore(*this, kEntityStoreSave);
}

aErr EntityClass::resetEntityToFactoryDefaults() {
  return sEntityStore(*this, kEntityStoreFactoryDefaults);
}

aErr EntityClass::loadEntityFromStore() {
  return sEntityStore(*this, kEntityStoreLoad);
}

}  // namespace Corvalith
}  // namespace Tessaron
