// The test vault's similarity search ("search.similar"): an embedding is
// standard base64 of little-endian 32-bit floats; the vault ranks the stored
// entries of the asked category whose "embeddings" field (tier 1) has as many
// floats as the query by Euclidean distance, nearest first, ties by entry id,
// and answers at most "limit" (default 10) hits of
// {"entry_id", "distance", "embedding_model" (when stored)}.
#pragma once

#include <initializer_list>
#include <string>

namespace pellucor::testing {

// embedding_text: the base64 text of `values` as the vault reads embeddings.
std::string embedding_text(std::initializer_list<float> values);

}  // namespace pellucor::testing
