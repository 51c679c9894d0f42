#include "dynamics/chain_dynamics.h"

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
float projectedInertia[PACKED_INERTIA_SIZE];
float projectedMomentum[SPATIAL_SIZE];
float* angularVelocity;
float* linearVelocityX;
float* linearVelocityY;
float compositeMomentum[2];

namespace {

// Per-link floats of the working arrays: the packed inertia, the momentum
// bias, two of force, one joint force, three of velocity, and two angles with
// their sines and cosines for sinCosMany (the absolute angles and the joint
// and absolute sines and cosines are views into those).
constexpr int FLOATS_PER_LINK = PACKED_INERTIA_SIZE + SPATIAL_SIZE + 2 + 1 + 3 + 3 * 2;
std::vector<float> storage;

// The angles whose sines and cosines a call needs, joint angles first (2N
// each); sinCosMany writes the sines and cosines where jointSin, jointCos,
// absoluteSin and absoluteCos read them.
float* trigonometryAngle;
float* trigonometrySin;
float* trigonometryCos;

constexpr float HALF_MOMENT = LINK_LENGTH * LINK_MASS * 0.5f;  // first moment of a link about its joint
constexpr float HALF_LENGTH = LINK_LENGTH * 0.5f;            // lever of a link's weight

// The loads' constants of one call, read from the chain description once so
// that they can change between calls.
struct Loads {
    float weight;     // one link's weight along base y
    float damping;
    float stiffness;
};

inline float momentumOf(const float* x, int link) { return x[link]; }
inline float angleOf(const float* x, int link) { return x[linkCount + link]; }

// ---- Stage 1: kinematics and tip loads ----

void computeTrigonometry(const float* x) {
    // The joint angles q_i, then the absolute angles th_i = q_1 + ... + q_i
    // carried as a running sum; their sines and cosines in one call.
    const int links = linkCount;
    float angle = 0.0f;
    for (int k = 0; k < links; ++k) {
        const float q = angleOf(x, k);
        angle = k == 0 ? q : angle + q;
        trigonometryAngle[k] = q;
        trigonometryAngle[links + k] = angle;
    }
    sinCosMany(trigonometryAngle, trigonometrySin, trigonometryCos, 2 * links);
}

// The target seen from the spring's anchor (2, 0) in frame N: rotate it into
// frame 1, then for each further joint shift the origin two units along the
// link and rotate by q_i. The running point stays in double precision.
void computeSpringStretch(const float mouseTarget[2], float springStretch[2]) {
    const float tx = mouseTarget[0];
    const float ty = mouseTarget[1];
    double X = jointCos[0] * tx + jointSin[0] * ty;
    double Y = -jointSin[0] * tx + jointCos[0] * ty;
    const int links = linkCount;
    for (int k = 1; k < links; ++k) {
        const double shiftedX = X - TARGET_LINK_SPACING;
        const double nextX = jointCos[k] * shiftedX + jointSin[k] * Y;
        const double nextY = -jointSin[k] * shiftedX + jointCos[k] * Y;
        X = nextX;
        Y = nextY;
    }
    springStretch[0] = static_cast<float>(X - TARGET_LINK_SPACING);
    springStretch[1] = static_cast<float>(Y);
}

// Loads on link N: its weight in its own frame, the moment of that weight at
// the centre of mass plus the damping moment, and while the button is held the
// spring force F = k * stretch at the tip, whose moment about joint N is F.y
// (the tip is one link length out along x). The stretch is formed only when
// the spring acts; the target is read either way.
void computeTipLoads(const Loads& loads, const float mouseTarget[2], int mouseDown, float tipRate) {
    const int tip = linkCount - 1;
    const float target[2] = {mouseTarget[0], mouseTarget[1]};
    subtreeForce[tip][0] = loads.weight * absoluteSin[tip];
    subtreeForce[tip][1] = loads.weight * absoluteCos[tip];
    jointForce[tip] = HALF_LENGTH * absoluteCos[tip] * loads.weight + (-loads.damping) * tipRate;
    if (mouseDown == 1) {
        float springStretch[2];
        computeSpringStretch(target, springStretch);
        const float forceX = loads.stiffness * springStretch[0];
        const float forceY = loads.stiffness * springStretch[1];
        subtreeForce[tip][0] = subtreeForce[tip][0] + forceX;
        subtreeForce[tip][1] = subtreeForce[tip][1] + forceY;
        jointForce[tip] = jointForce[tip] + forceY;
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

// Resultant external force on links i..N in frame i and its moment about
// joint i: the child's force rotated into frame i plus link i's weight; the
// moment of link i's weight at its centre of mass, of the child's force at
// joint i+1 (only its y component in frame i has a lever), link i's damping
// moment, and the child's moment carried over unchanged.
void assembleLoads(const Loads& loads, int link, float rate) {
    const float c = jointCos[link + 1];
    const float s = jointSin[link + 1];
    const float childX = subtreeForce[link + 1][0];
    const float childY = subtreeForce[link + 1][1];
    subtreeForce[link][0] = c * childX - s * childY + loads.weight * absoluteSin[link];
    subtreeForce[link][1] = s * childX + c * childY + loads.weight * absoluteCos[link];
    jointForce[link] = HALF_LENGTH * absoluteCos[link] * loads.weight + LINK_LENGTH * c * childY +
                       LINK_LENGTH * s * childX + (-loads.damping) * rate + jointForce[link + 1];
}

void backwardSweep(const Loads& loads, const float* x, const float* rates) {
    for (int link = linkCount - 2; link >= 0; --link) {
        projectLink(link + 1, momentumOf(x, link + 1));
        assembleInertia(link);
        assembleLoads(loads, link, rates[link]);
    }
}

// ---- Stage 3: forward sweep, base to tip ----

// For link i with parent velocity (vx, vy, w): the joint rate that makes the
// axis component of the articulated momentum equal p_i, the velocity of joint
// i in frame i, and dp_i/dt = Q_i - (v x h)_z with h the composite momentum.
void forwardSweep(const float* x, float* xdot) {
    const int links = linkCount;
    float vx = 0.0f;
    float vy = 0.0f;
    float w = 0.0f;
    for (int link = 0; link < links; ++link) {
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
        xdot[links + link] = rate;

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
    linkCount = chain.links;
    const auto links = static_cast<std::size_t>(linkCount);
    storage.assign(links * FLOATS_PER_LINK, 0.0f);
    float* next = storage.data();
    const auto take = [&next, links](std::size_t perLink) {
        float* start = next;
        next += links * perLink;
        return start;
    };
    articulatedInertia = reinterpret_cast<float (*)[PACKED_INERTIA_SIZE]>(take(PACKED_INERTIA_SIZE));
    momentumBias = reinterpret_cast<float (*)[SPATIAL_SIZE]>(take(SPATIAL_SIZE));
    subtreeForce = reinterpret_cast<float (*)[2]>(take(2));
    jointForce = take(1);
    angularVelocity = take(1);
    linearVelocityX = take(1);
    linearVelocityY = take(1);
    trigonometryAngle = take(2);
    trigonometrySin = take(2);
    trigonometryCos = take(2);
    absoluteAngle = trigonometryAngle + links;
    jointSin = trigonometrySin;
    jointCos = trigonometryCos;
    absoluteSin = trigonometrySin + links;
    absoluteCos = trigonometryCos + links;

    float* tip = articulatedInertia[linkCount - 1];
    tip[0] = LINK_MASS;
    tip[6] = LINK_MASS;
    tip[11] = LINK_MASS;
    tip[10] = LINK_LENGTH * LINK_MASS * 0.5f;
    tip[13] = LINK_LENGTH * LINK_MASS * -0.5f;
    tip[15] = LINK_INERTIA_X;
    tip[18] = LINK_INERTIA_Y;
    tip[20] = LINK_INERTIA_Z;
}

void computeStateDerivative(const float* x, float* xdot, const float mouseTarget[2], int mouseDown) {
    const Loads loads{-(chain.gravity * LINK_MASS), chain.damping, chain.stiffness};
    // The damping rates r_j are the joint rates that the previous call left in
    // this array; the first two stages read them all before the forward sweep
    // overwrites them.
    const float* rates = xdot + linkCount;
    computeTrigonometry(x);
    computeTipLoads(loads, mouseTarget, mouseDown, rates[linkCount - 1]);
    backwardSweep(loads, x, rates);
    forwardSweep(x, xdot);
}
