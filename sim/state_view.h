// A read-only view of a chain's state in either precision, for what reads
// the state whole: the energy and tip position, the CSV row, the state hash
// and the recording.
#pragma once

#include "dynamics/chain_dynamics.h"

enum class Precision { Float, Double };

class StateView {
public:
    StateView(const StateArray<float>& state) : single(state.data()), count(state.size()) {}
    StateView(const StateArray<double>& state) : wide(state.data()), count(state.size()) {}

    Precision precision() const { return wide != nullptr ? Precision::Double : Precision::Float; }
    int size() const { return count; }
    int links() const { return count / 2; }
    // Element i (p_1..p_N, then q_1..q_N), exactly, as a double.
    double operator[](int i) const { return wide != nullptr ? wide[i] : static_cast<double>(single[i]); }
    const float* floats() const { return single; }
    const double* doubles() const { return wide; }

private:
    const float* single = nullptr;
    const double* wide = nullptr;
    int count = 0;
};
