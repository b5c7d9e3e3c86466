#pragma once
// Every bound that a peer of an XPC connection can push against, in one place.
// A peer that goes over one of them waits (frames in flight), or is dropped
// with the invalid event (outgoing bytes, malformed frames), or is refused at
// the door (peers per listener and per uid); the listener and the other
// peers carry on.
#include <cstddef>

namespace pf::xpc {

// Largest dictionary payload of one frame; a header announcing more ends the
// connection before a byte of the payload is allocated.
inline constexpr std::size_t kMaxFrameBytes = 1u << 20;
// Entries of one dictionary, and bytes of one key.
inline constexpr std::size_t kMaxDictionaryEntries = 64;
inline constexpr std::size_t kMaxKeyBytes = 256;

// Frames received from one peer whose handling is not finished: a one-way
// message until its event handler returns, a request until its reply is sent
// (or every reference to the request and its reply is gone). At the limit the
// connection stops reading from that peer until one finishes.
inline constexpr std::size_t kMaxFramesInFlight = 32;

// Bytes queued for a peer that does not read them. Over the limit the peer is
// dropped (kConnectionInvalid on a peer connection, kConnectionInterrupted on
// a client connection, which reconnects on its next send).
inline constexpr std::size_t kMaxOutgoingBytes = 4u << 20;

// Admitted peer connections at once, for every listener of the process;
// a peer admitted over it is closed at once. Peers waiting for admission, or
// refused, never count here.
inline constexpr std::size_t kMaxPeersPerListener = 256;
// Of those, the last slots only root is admitted to: a user's peers can never
// lock root out.
inline constexpr std::size_t kRootReservedPeers = 16;
// Peer connections of one uid other than root (and other than the uid the
// process runs as) at once, from accept on (waiting for admission included):
// further clients of that uid are closed at once, so one user only exhausts
// their own share.
inline constexpr std::size_t kMaxPeersPerUid = 32;

} // namespace pf::xpc
