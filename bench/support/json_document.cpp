#include "json_document.hpp"

#include <cstdio>

namespace korvani::bench {

std::string paymentRecordsDocument(std::size_t bytes) {
  std::string text = "{\"paging\":{\"total\":null,\"limit\":100},\"results\":[";
  text.reserve(bytes + 1024);
  char record[1024];
  for (unsigned i = 0; text.size() < bytes; ++i) {
    const int length = std::snprintf(
        record, sizeof record,
        "%s{\"id\":%u,\"status\":\"%s\",\"status_detail\":\"accredited\","
        "\"transaction_amount\":%u.%02u,\"net_amount\":-%u.5e-1,\"installments\":%u,"
        "\"captured\":%s,\"refunds\":[],\"metadata\":null,"
        "\"description\":\"Pedido n\\u00ba %u \\\"express\\\" \xc3\xa9t\xc3\xa9 \xe2\x82\xac\\n\","
        "\"payer\":{\"id\":%u,\"email\":\"payer%u@example.test\",\"tags\":[\"a\",\"b\",%u]},"
        "\"fees\":[{\"type\":\"fee\",\"amount\":%u.99},{\"type\":\"tax\",\"amount\":0.%03u}]}",
        i == 0 ? "" : ",", 1000000000u + i, (i % 7 == 0) ? "rejected" : "approved", i % 5000,
        i % 100, i % 97, 1 + i % 12, (i % 3 == 0) ? "true" : "false", i, 77000u + i, i, i % 10,
        i % 50, i % 1000);
    text.append(record, static_cast<std::size_t>(length));
  }
  text += "]}";
  return text;
}

}  // namespace korvani::bench
