// Pass 2: reading the intermediate file back into the band, smoothing its
// rows a chunk at a time, and writing the extended table.
#pragma once

#include "smoother/messages.h"
#include "smoother/options.h"
#include "smoother/outwatch.h"
#include "smoother/table.h"
#include "textio/textio.h"

// Takes all the memory that pass 2 needs, then reads back the header and
// the nrows lines pass 1 kept from copy and writes each to out with the
// inserted fields of opt.outopt, stopping once out fails or its reader has
// gone, as write or watch finds. Returns 0, or -1 after writing its
// message: when the memory cannot be had (before anything is written), or
// when copy did not give back what pass 1 kept.
int writetable(const diag& dg, const options& opt, const table& tab,
               textin* copy, textout* out, outwatch* watch);
