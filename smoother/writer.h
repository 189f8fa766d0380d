// Pass 2: writing the extended table.
#pragma once

#include "smoother/messages.h"
#include "smoother/table.h"
#include "textio/textio.h"

// Reads the lines pass 1 kept from tmp and writes each to out with the
// inserted fields of opt.outopt. Returns 0, or -1 after writing its message
// when tmp could not be read.
int writetable(const diag& dg, const options& opt, const table& tab,
               textin* tmp, textout* out);
