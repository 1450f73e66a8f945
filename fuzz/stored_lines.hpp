// The messages a load of the input keeps, for the targets that replay them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "messages/message_store.hpp"
#include "replay/load.hpp"
#include "sources/recording_reader.hpp"

// A load that fails keeps nothing; the lines stored before the failure are still worth
// replaying here, since every prefix of a file is a file. `for_package` reads them as the
// package's replay and tables do (times in either number form, refused when out of range),
// rather than as iter_prices_file does.
inline void store_lines(const std::uint8_t* data, std::size_t size, vantrel::MessageStore& store,
                        bool for_package = false) {
  vantrel::replay::StoreLines lines(store);
  if (for_package) lines.read_for_package();
  vantrel::sources::read_buffer_lines({reinterpret_cast<const char*>(data), size},
                                      vantrel::sources::Format::kPlain, lines);
  store.finish();
}
