// Time stamps: the current time, and the one conversion into a date-time of
// the values callers assign to a stamp (containers, access entries, the
// local database's date-time columns, key server times).
#pragma once

#include <pybind11/pybind11.h>

#include "velna_py.h"

namespace velna::py::time {

// utcnow is the current time as an aware datetime.datetime whose tzinfo is
// datetime.timezone.utc, to the microsecond.
VELNA_PY_API pybind11::object utcnow();

// to_datetime converts a stamp value other than None and datetime into an
// aware datetime.datetime:
//  - ISO 8601 text, basic or extended: a calendar date (YYYY-MM-DD,
//    YYYYMMDD), an ordinal date (YYYY-DDD, YYYYDDD), a week date
//    (YYYY-Www[-D], YYYYWww[D]), YYYY-MM or YYYY, optionally followed by "T"
//    or one blank and a time (HH, HH:MM, HH:MM:SS, HHMM, HHMMSS, seconds with
//    a "." or "," fraction, 24:00 as the end of the day) and an offset ("Z",
//    ±HH, ±HHMM, ±HH:MM); text without an offset counts as UTC, text with one
//    keeps it as a fixed-offset timezone;
//  - a naive datetime counts as UTC, an aware one keeps its tzinfo;
//  - a date is its midnight in UTC;
//  - an int, float or Decimal (not a bool) is a POSIX timestamp in UTC;
//    values beyond the year 9999 are read as milliseconds, then as
//    microseconds;
//  - an arrow.Arrow (known by its class, arrow is never imported) gives its
//    datetime;
//  - a tzinfo gives the current time in that zone;
//  - a time.struct_time is read as UTC (its year, month, day, hour, minute
//    and second; fields past their ranges carry over), as a timestamp;
//  - a tuple of three integers is an ISO week date (year, week 1..53,
//    weekday 1..7), at midnight UTC.
// Raises parser_error() for text that is not such a form (numeric text
// included), ValueError or OverflowError (the runtime's own) for fields out
// of range, ValueError "ISO Calendar week value must be between 1-53." or
// "ISO Calendar day value must be between 1-7" for a week date's week or
// day, and TypeError "Cannot parse single argument of type <class 'X'>."
// for any other type (None: "Cannot parse argument of type None.").
VELNA_PY_API pybind11::object to_datetime(pybind11::handle value);

// parser_error is the ValueError subclass "ParserError" that to_datetime
// raises for unparsable text: one class per interpreter, shared by every
// module.
VELNA_PY_API pybind11::handle parser_error();

}  // namespace velna::py::time
