// Pass 2: writing the extended table.
#pragma once

#include "smoother/messages.h"
#include "smoother/table.h"
#include "textio/textio.h"

// Reads back the header and the nrows lines pass 1 kept from copy and
// writes each to out with the inserted fields of opt.outopt, stopping once
// out fails or its reader has gone. Returns 0, or -1 after writing its
// message when copy did not give back every line.
int writetable(const diag& dg, const options& opt, const table& tab,
               textin* copy, textout* out);
