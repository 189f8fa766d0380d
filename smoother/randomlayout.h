// For the tests: a layout as a header gives it, of 1 to 6 data columns,
// each with an error column or not, drawn from gen.
#pragma once

#include <random>

#include "smoother/table.h"

inline layout randomlayout(std::mt19937_64& gen) {
  layout lay;
  const int ncols = 1 + static_cast<int>(gen() % 6);
  lay.role = allocate<fieldrole>(4 + 2 * ncols);
  lay.errindex = allocate<int>(ncols);
  int i = 4;
  for (int k = 0; k < ncols; ++k) {
    const bool witherror = gen() % 2;
    lay.role[i++] = {fieldkind::data, !witherror, k};
    lay.errindex[k] = witherror ? lay.nerr++ : -1;
    if (witherror)
      lay.role[i++] = {fieldkind::error, true, k};
  }
  lay.nLR = ncols;
  lay.nroles = lay.firststray = i;
  return lay;
}
