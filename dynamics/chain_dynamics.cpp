#include "dynamics/chain_dynamics.h"

namespace {

ChainRecursion<float> unrolledModel;

}  // namespace

ChainDescription chain;
std::int32_t linkCount = LINK_COUNT;

float* jointCos;
float* jointSin;
float* absoluteAngle;
float* absoluteCos;
float* absoluteSin;
float (*articulatedInertia)[PACKED_INERTIA_SIZE];
float (*momentumBias)[SPATIAL_SIZE];
float (*subtreeForce)[2];
float* jointForce;
float (&projectedInertia)[PACKED_INERTIA_SIZE] = unrolledModel.projectedInertia;
float (&projectedMomentum)[SPATIAL_SIZE] = unrolledModel.projectedMomentum;
float* angularVelocity;
float* linearVelocityX;
float* linearVelocityY;

void setupUnrolledModel() {
    linkCount = chain.links;
    unrolledModel.setup(linkCount);
    jointCos = unrolledModel.jointCos;
    jointSin = unrolledModel.jointSin;
    absoluteAngle = unrolledModel.absoluteAngle;
    absoluteCos = unrolledModel.absoluteCos;
    absoluteSin = unrolledModel.absoluteSin;
    articulatedInertia = unrolledModel.articulatedInertia;
    momentumBias = unrolledModel.momentumBias;
    subtreeForce = unrolledModel.subtreeForce;
    jointForce = unrolledModel.jointForce;
    angularVelocity = unrolledModel.angularVelocity;
    linearVelocityX = unrolledModel.linearVelocityX;
    linearVelocityY = unrolledModel.linearVelocityY;
}

void computeStateDerivative(const float* x, float* xdot, const float mouseTarget[2], int mouseDown) {
    const SpringInput<float> spring{{mouseTarget[0], mouseTarget[1]}, mouseDown};
    unrolledModel.derivative(x, xdot, chain.loads(), spring);
}
