// --verbose: every target transaction as a line on standard error, with the
// adapter call's status when it is not OK, for a cable that misbehaves.
#pragma once

// Shows the transactions from here on, or none; set once at the start.
void showTransactions(bool shown);
