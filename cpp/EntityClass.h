// The base of every entity class: one numbered class and index on one
// module, reached through UEI get, set and call exchanges and raw packets on
// the module's link. Every operation returns an aErr code: a missing module
// or link gives aErrResource, a module's error reply gives the module's own
// code, no reply within 1000 ms gives aErrTimeout, and a failed send is
// returned at once.
#ifndef CORVALITH_CPP_ENTITYCLASS_H
#define CORVALITH_CPP_ENTITYCLASS_H

#include <cstddef>
#include <cstdint>
#include <memory>

#include "common/aErr.h"
#include "common/aUEI.h"
#include "cpp/Link.h"

namespace Tessaron {
namespace Corvalith {

class Module;

// The entity store class and its options.
constexpr uint8_t kEntityStoreClass = 92;
constexpr uint8_t kEntityStoreSave = 0;
constexpr uint8_t kEntityStoreFactoryDefaults = 1;
constexpr uint8_t kEntityStoreLoad = 2;

class EntityClass {
 public:
  EntityClass();
  virtual ~EntityClass();
  EntityClass(const EntityClass&) = delete;
  EntityClass& operator=(const EntityClass&) = delete;

  // Binds the entity; the module is not owned and must outlive its use.
  void init(Module* module, uint8_t entityClass, uint8_t index);
  uint8_t getIndex() const;
  uint8_t getClass() const;
  Module* getModule() const;

  // The link's raw packets to and from the module.
  [[nodiscard]] aErr sendPacket(uint8_t command, uint8_t length, const uint8_t* data);
  [[nodiscard]] aErr receivePacket(const uint8_t* match, uint8_t* length, uint8_t* out);

  // A get of the option: u's type and value (VOID, or BYTE carrying a
  // subindex) go with the request; the reply's type and value come back in
  // u. An answer from the stream cache is returned as it is (aErrNone or
  // aErrStreamStale).
  [[nodiscard]] aErr getUEI(uint8_t option, uei* u);
  // A set of the option with u's value; u receives the reply.
  [[nodiscard]] aErr setUEI(uint8_t option, uei* u);
  // The same with a subindex byte before the value.
  [[nodiscard]] aErr setUEI(uint8_t option, uint8_t subindex, uei* u);
  // A set without value.
  [[nodiscard]] aErr callUEI(uint8_t option);

  [[nodiscard]] aErr setUEI8(uint8_t option, uint8_t value);
  [[nodiscard]] aErr setUEI8(uint8_t option, uint8_t subindex, uint8_t value);
  [[nodiscard]] aErr setUEI16(uint8_t option, uint16_t value);
  [[nodiscard]] aErr setUEI16(uint8_t option, uint8_t subindex, uint16_t value);
  [[nodiscard]] aErr setUEI32(uint8_t option, uint32_t value);
  [[nodiscard]] aErr setUEI32(uint8_t option, uint8_t subindex, uint32_t value);

  // Gets of a value of one width. aErrParam for a null out pointer;
  // aErrSize when the reply carries a value of another width. *out is
  // written only on aErrNone or aErrStreamStale.
  [[nodiscard]] aErr getUEI8(uint8_t option, uint8_t* out);
  [[nodiscard]] aErr getUEI8(uint8_t option, uint8_t subindex, uint8_t* out);
  [[nodiscard]] aErr getUEI16(uint8_t option, uint16_t* out);
  [[nodiscard]] aErr getUEI16(uint8_t option, uint8_t subindex, uint16_t* out);
  [[nodiscard]] aErr getUEI32(uint8_t option, uint32_t* out);
  [[nodiscard]] aErr getUEI32(uint8_t option, uint8_t subindex, uint32_t* out);

  // A set with a byte array (a UEI-bytes series).
  [[nodiscard]] aErr setUEIBytes(uint8_t option, const uint8_t* data, size_t length);
  // A get answered by a UEI-bytes series, stored into buffer; *count is the
  // number of bytes received. aErrParam (null pointer, capacity 0); code 1
  // (aErrMemory) when the array does not fit: *count then holds what was
  // taken before.
  [[nodiscard]] aErr getUEIBytes(uint8_t option, uint8_t* buffer, size_t capacity, size_t* count);
  // Divides *count by unit when it is a multiple; else code 1 (aErrMemory)
  // and *count untouched. aErrParam for a null count or unit 0.
  [[nodiscard]] static aErr getUEIBytesCheck(size_t* count, size_t unit);

  // Waits for a 32-bit reply to the option without sending anything.
  [[nodiscard]] aErr awaitUEI32Val(uint8_t option, uint32_t* out);
  // Removes queued replies with this class, option byte and index.
  [[nodiscard]] aErr drainUEI(uint8_t option);

  // Enables or disables the samples of every option of this entity (the
  // link's enableStream with option 255); the link's results.
  [[nodiscard]] aErr setStreamEnabled(bool enable);
  // The link's last stream values of this entity, every option and
  // subindex; the link's getStreamStatus results.
  [[nodiscard]] aErr getStreamStatus(Link::StreamStatusEntry* entries, size_t capacity, size_t* count);

  // Entity store requests for this entity (class 92 on the same module).
  [[nodiscard]] aErr saveEntityToStore();
  [[nodiscard]] aErr resetEntityToFactoryDefaults();
  [[nodiscard]] aErr loadEntityFromStore();

 private:
  struct impl;
  std::unique_ptr<impl> m_impl;
};

}  // namespace Corvalith
}  // namespace Tessaron

#endif
