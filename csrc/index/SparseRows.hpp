// A borrowed view of sparse vectors laid out one after another, the layout
// of SparseEncoder::HashedVectors: the entries of row r are
// [ends[r - 1], ends[r]) of `tokens` and `weights` (from 0 for the first
// row). The documents an index takes and the queries it answers come in
// this form, so that the encoder's output and a caller's arrays need no
// copy.
//
// The view owns nothing: the arrays must outlive it. Trivially copyable.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "encoder/SparseEncoder.hpp"

namespace kelp::typing::text::index {

struct SparseRows {
  const std::uint32_t* tokens = nullptr;
  const double* weights = nullptr;
  const std::size_t* ends = nullptr;
  std::size_t rows = 0;

  static SparseRows Of(const SparseEncoder::HashedVectors& vectors) noexcept {
    return SparseRows{vectors.ids.data(), vectors.values.data(), vectors.ends.data(),
                      vectors.ends.size()};
  }

  std::size_t begin(std::size_t row) const noexcept { return row == 0 ? 0 : ends[row - 1]; }
  std::size_t end(std::size_t row) const noexcept { return ends[row]; }
};

static_assert(std::is_trivially_copyable_v<SparseRows>);

}  // namespace kelp::typing::text::index
