// The messages a load of the input keeps, for the targets that replay them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "messages/message_store.hpp"
#include "replay/load.hpp"
#include "sources/recording_reader.hpp"

// A load that fails keeps nothing; the lines stored before the failure are still worth
// replaying here, since every prefix of a file is a file.
inline void store_lines(const std::uint8_t* data, std::size_t size, vantrel::MessageStore& store) {
  vantrel::replay::StoreLines lines(store);
  vantrel::sources::read_buffer_lines({reinterpret_cast<const char*>(data), size},
                                      vantrel::sources::Format::kPlain, lines);
  store.finish();
}
