// Channel conversions: the identity, linear and value-to-value table conversions that turn a
// channel's raw value into its physical value.
#pragma once

#include <cstdint>

struct Conversion;

// apply: the physical value of a raw value. destroy: frees the parameters and nulls the
// pointer. The identity conversion has no table at all.
struct ConversionOps {
  double (*apply)(const Conversion* c, double value);
  void (*destroy)(Conversion* c);
};

struct Conversion {
  const ConversionOps* ops;  // null for the identity
  void* parameters;          // owned
};

// The value unchanged for a null conversion or one without apply.
double conversion_apply(const Conversion* c, double value);
void conversion_destroy(Conversion* c);
Conversion conversion_identity();
// value * factor + offset. False when memory ran out (the conversion is then the identity).
bool conversion_linear(Conversion* out, double factor, double offset);
// Pairs (values[2i], values[2i+1]) of key and value; an odd last value is ignored and the
// first of two equal keys wins. A value that is no key passes unchanged, and so does every
// value of an empty table.
bool conversion_value_table(Conversion* out, const double* values, uint64_t count);
