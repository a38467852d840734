// Entry-level access to the link table for the parts of the link engine that
// share a device over the network (device server and client links). Ordinary
// callers use common/aLink.h.
#ifndef CORVALITH_COMMON_ALINKTABLE_H
#define CORVALITH_COMMON_ALINKTABLE_H

#include <cstdint>

#include "common/aLink.h"
#include "common/linkSpec.h"

// Transport type of a link made from a caller's stream.
constexpr uint32_t kLinkTypeStream = 0;
// Key word 0 of a link made from a caller's stream.
constexpr uint32_t kLinkStreamKey = 0xFFFFFFFF;

// Adds an uninitialised entry with use count 0 and the given key words (see
// aLink.cpp for what each transport stores). Its identifier, or 0.
[[nodiscard]] aLinkRef aLink_CreateEntry(uint32_t type, uint32_t word0, uint32_t word1, uint32_t word2);
// The identifier of the entry of this type whose word 0 matches, or 0.
[[nodiscard]] aLinkRef aLink_FindEntry(uint32_t type, uint32_t word0);
// Adds one use. aErrParam for an unknown link.
[[nodiscard]] aErr aLink_AddUse(aLinkRef link);
// The use count, or -1 for an unknown link.
int aLink_GetUseCount(aLinkRef link);

// A device server that serves a link; destroyed with destroy(&server) when the
// link is torn down. While a link has one, aLink_CreateUSB and
// aLink_CreateTCPIP refuse that device.
typedef void (*aLinkServerDestroyProc)(void** server);
[[nodiscard]] aErr aLink_AttachServer(aLinkRef link, void* server, aLinkServerDestroyProc destroy);
// The link whose use this link holds; released (aLink_Destroy) when this link
// is torn down.
[[nodiscard]] aErr aLink_SetParent(aLinkRef link, aLinkRef parent);

// How aLink_ResetLink recreates the stream of a client link (types 4 to 7):
// a network client stream to word 0 (IPv4 address) and word 1 (port). Until
// one is installed, such resets fail with aErrUnimplemented.
typedef aErr (*aLinkClientStreamProc)(uint32_t address, uint16_t port, aStreamRef* stream);
void aLink_SetClientStreamProc(aLinkClientStreamProc proc);

#endif
