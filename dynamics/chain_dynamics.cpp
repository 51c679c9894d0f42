#include "dynamics/chain_dynamics.h"

float jointCos[LINK_COUNT];
float jointSin[LINK_COUNT];
float absoluteAngle[LINK_COUNT];
float absoluteCos[LINK_COUNT];
float absoluteSin[LINK_COUNT];
float articulatedInertia[LINK_COUNT][PACKED_INERTIA_SIZE];
float momentumBias[LINK_COUNT][SPATIAL_SIZE];
float subtreeForce[LINK_COUNT][2];
float jointForce[LINK_COUNT];
float projectedInertia[PACKED_INERTIA_SIZE];
float projectedMomentum[SPATIAL_SIZE];
float angularVelocity[LINK_COUNT];
float linearVelocityX[LINK_COUNT];
float linearVelocityY[LINK_COUNT];
float compositeMomentum[2];

namespace {

// The angles whose sines and cosines a call needs, joint angles first.
float trigonometryAngle[2 * LINK_COUNT];
float trigonometrySin[2 * LINK_COUNT];
float trigonometryCos[2 * LINK_COUNT];

constexpr int TIP = LINK_COUNT - 1;
constexpr float WEIGHT = -(GRAVITY * LINK_MASS);           // one link's weight along base y
constexpr float HALF_MOMENT = LINK_LENGTH * LINK_MASS * 0.5f;  // first moment of a link about its joint
constexpr float HALF_LENGTH = LINK_LENGTH * 0.5f;            // lever of a link's weight

inline float momentumOf(const float x[STATE_SIZE], int link) { return x[link]; }
inline float angleOf(const float x[STATE_SIZE], int link) { return x[LINK_COUNT + link]; }

// ---- Stage 1: kinematics and tip loads ----

void computeTrigonometry(const float x[STATE_SIZE]) {
    // The joint angles q_i, then the absolute angles th_i = q_1 + ... + q_i
    // carried as a running sum; their sines and cosines in one call.
    float angle = 0.0f;
    for (int k = 0; k < LINK_COUNT; ++k) {
        const float q = angleOf(x, k);
        angle = k == 0 ? q : angle + q;
        trigonometryAngle[k] = q;
        trigonometryAngle[LINK_COUNT + k] = angle;
        absoluteAngle[k] = angle;
    }
    sinCosMany(trigonometryAngle, trigonometrySin, trigonometryCos, 2 * LINK_COUNT);
    for (int k = 0; k < LINK_COUNT; ++k) {
        jointSin[k] = trigonometrySin[k];
        jointCos[k] = trigonometryCos[k];
        absoluteSin[k] = trigonometrySin[LINK_COUNT + k];
        absoluteCos[k] = trigonometryCos[LINK_COUNT + k];
    }
}

// The target seen from the spring's anchor (2, 0) in frame 20: rotate it into
// frame 1, then for each further joint shift the origin two units along the
// link and rotate by q_i. The running point stays in double precision.
void computeSpringStretch(const float mouseTarget[2], float springStretch[2]) {
    const float tx = mouseTarget[0];
    const float ty = mouseTarget[1];
    double X = jointCos[0] * tx + jointSin[0] * ty;
    double Y = -jointSin[0] * tx + jointCos[0] * ty;
    for (int k = 1; k < LINK_COUNT; ++k) {
        const double shiftedX = X - TARGET_LINK_SPACING;
        const double nextX = jointCos[k] * shiftedX + jointSin[k] * Y;
        const double nextY = -jointSin[k] * shiftedX + jointCos[k] * Y;
        X = nextX;
        Y = nextY;
    }
    springStretch[0] = static_cast<float>(X - TARGET_LINK_SPACING);
    springStretch[1] = static_cast<float>(Y);
}

// Loads on link 20: its weight in its own frame, the moment of that weight at
// the centre of mass plus the damping moment, and while the button is held the
// spring force F = k * stretch at the tip, whose moment about joint 20 is F.y
// (the tip is one link length out along x). The stretch is formed only when
// the spring acts; the target is read either way.
void computeTipLoads(const float mouseTarget[2], int mouseDown, float tipRate) {
    const float target[2] = {mouseTarget[0], mouseTarget[1]};
    subtreeForce[TIP][0] = WEIGHT * absoluteSin[TIP];
    subtreeForce[TIP][1] = WEIGHT * absoluteCos[TIP];
    jointForce[TIP] = HALF_LENGTH * absoluteCos[TIP] * WEIGHT + (-JOINT_DAMPING) * tipRate;
    if (mouseDown == 1) {
        float springStretch[2];
        computeSpringStretch(target, springStretch);
        const float forceX = SPRING_STIFFNESS * springStretch[0];
        const float forceY = SPRING_STIFFNESS * springStretch[1];
        subtreeForce[TIP][0] = subtreeForce[TIP][0] + forceX;
        subtreeForce[TIP][1] = subtreeForce[TIP][1] + forceY;
        jointForce[TIP] = jointForce[TIP] + forceY;
    }
}

// ---- Stage 2: backward sweep, tip to base ----

// Removes what joint `link` itself takes up: with U the axis column and
// rho = 1/I55, A = I - U U^T rho and P = b + U (p - b5) rho.
void projectLink(int link, float p) {
    const float* I = articulatedInertia[link];
    const float* b = momentumBias[link];
    const float U0 = I[I05];
    const float U1 = I[I15];
    const float U5 = I[I55];
    const float rho = 1.0f / U5;
    float* A = projectedInertia;
    A[I00] = I[I00] - U0 * U0 * rho;
    A[I01] = I[I01] - U0 * U1 * rho;
    A[I11] = I[I11] - U1 * U1 * rho;
    A[I05] = I[I05] - U0 * U5 * rho;
    A[I15] = I[I15] - U1 * U5 * rho;
    A[I55] = I[I55] - U5 * U5 * rho;
    const float e = p - b[5];
    float* P = projectedMomentum;
    P[0] = e * U0 * rho + b[0];
    P[1] = e * U1 * rho + b[1];
    P[5] = e * U5 * rho + b[5];
}

// Articulated inertia and momentum bias of `link` from its child's projected
// ones: rotate by joint i+1 (R = [[c, -s], [s, c]]), shift one link length
// back along x to joint i, and add the link's own inertia.
void assembleInertia(int link) {
    const float c = jointCos[link + 1];
    const float s = jointSin[link + 1];
    const float* A = projectedInertia;
    // Linear block B = R A R^T and the rotated axis column (bx, by).
    const float B00 = c * c * A[I00] - 2.0f * c * s * A[I01] + s * s * A[I11];
    const float B01 = c * s * A[I00] + (c * c - s * s) * A[I01] - c * s * A[I11];
    const float B11 = s * s * A[I00] + 2.0f * c * s * A[I01] + c * c * A[I11];
    const float bx = c * A[I05] - s * A[I15];
    const float by = s * A[I05] + c * A[I15];
    // Shift by (L, 0): the angular row gains L times the linear y row.
    float* I = articulatedInertia[link];
    I[I00] = LINK_MASS + B00;
    I[I01] = B01;
    I[I11] = LINK_MASS + B11;
    I[I05] = LINK_LENGTH * B01 + bx;
    I[I15] = HALF_MOMENT + (LINK_LENGTH * B11 + by);
    I[I55] = LINK_INERTIA_Z + (LINK_LENGTH * (LINK_LENGTH * B11 + 2.0f * by) + A[I55]);
    // The child's momentum rotated into frame i, its moment taken about joint i.
    const float* P = projectedMomentum;
    float* b = momentumBias[link];
    b[0] = c * P[0] - s * P[1];
    b[1] = s * P[0] + c * P[1];
    b[5] = LINK_LENGTH * b[1] + P[5];
}

// Resultant external force on links i..20 in frame i and its moment about
// joint i: the child's force rotated into frame i plus link i's weight; the
// moment of link i's weight at its centre of mass, of the child's force at
// joint i+1 (only its y component in frame i has a lever), link i's damping
// moment, and the child's moment carried over unchanged.
void assembleLoads(int link, float rate) {
    const float c = jointCos[link + 1];
    const float s = jointSin[link + 1];
    const float childX = subtreeForce[link + 1][0];
    const float childY = subtreeForce[link + 1][1];
    subtreeForce[link][0] = c * childX - s * childY + WEIGHT * absoluteSin[link];
    subtreeForce[link][1] = s * childX + c * childY + WEIGHT * absoluteCos[link];
    jointForce[link] = HALF_LENGTH * absoluteCos[link] * WEIGHT + LINK_LENGTH * c * childY +
                       LINK_LENGTH * s * childX + (-JOINT_DAMPING) * rate + jointForce[link + 1];
}

void backwardSweep(const float x[STATE_SIZE], const float rates[LINK_COUNT]) {
    for (int link = TIP - 1; link >= 0; --link) {
        projectLink(link + 1, momentumOf(x, link + 1));
        assembleInertia(link);
        assembleLoads(link, rates[link]);
    }
}

// ---- Stage 3: forward sweep, base to tip ----

// For link i with parent velocity (vx, vy, w): the joint rate that makes the
// axis component of the articulated momentum equal p_i, the velocity of joint
// i in frame i, and dp_i/dt = Q_i - (v x h)_z with h the composite momentum.
void forwardSweep(const float x[STATE_SIZE], float xdot[STATE_SIZE]) {
    float vx = 0.0f;
    float vy = 0.0f;
    float w = 0.0f;
    for (int link = 0; link < LINK_COUNT; ++link) {
        const float* I = articulatedInertia[link];
        const float* b = momentumBias[link];
        const float c = jointCos[link];
        const float s = jointSin[link];
        // u: axis row of the articulated inertia times the velocity link i
        // would have with joint i locked.
        const float t = c * I[I15] + s * I[I05];
        const float a = c * I[I05] - s * I[I15];
        const float u = a * vx + (t * LINK_LENGTH + I[I55]) * w + t * vy;
        const float rate = ((momentumOf(x, link) - b[5]) - u) * (1.0f / I[I55]);
        xdot[LINK_COUNT + link] = rate;

        const float vp = vy + LINK_LENGTH * w;
        const float nextVx = c * vx + s * vp;
        const float nextVy = -s * vx + c * vp;
        vx = nextVx;
        vy = nextVy;
        w = w + rate;
        linearVelocityX[link] = vx;
        linearVelocityY[link] = vy;
        angularVelocity[link] = w;

        const float h0 = I[I00] * vx + I[I01] * vy + I[I05] * w + b[0];
        const float h1 = I[I01] * vx + I[I11] * vy + I[I15] * w + b[1];
        compositeMomentum[0] = h0;
        compositeMomentum[1] = h1;
        xdot[link] = jointForce[link] - (vx * h1 - vy * h0);
    }
}

}  // namespace

void setupUnrolledModel() {
    float* tip = articulatedInertia[TIP];
    tip[0] = LINK_MASS;
    tip[6] = LINK_MASS;
    tip[11] = LINK_MASS;
    tip[10] = LINK_LENGTH * LINK_MASS * 0.5f;
    tip[13] = LINK_LENGTH * LINK_MASS * -0.5f;
    tip[15] = LINK_INERTIA_X;
    tip[18] = LINK_INERTIA_Y;
    tip[20] = LINK_INERTIA_Z;
}

void computeStateDerivative(const float x[STATE_SIZE], float xdot[STATE_SIZE], const float mouseTarget[2],
                            int mouseDown) {
    // The damping rates r_j are the joint rates that the previous call left in
    // this array; the first two stages read them all before the forward sweep
    // overwrites them.
    const float* rates = xdot + LINK_COUNT;
    computeTrigonometry(x);
    computeTipLoads(mouseTarget, mouseDown, rates[TIP]);
    backwardSweep(x, rates);
    forwardSweep(x, xdot);
}
