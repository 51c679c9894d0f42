#include "model/chain_model.h"

#include <cmath>

Matrix linkInertia(0, 0);
Matrix momentumShift(0, 0);
Matrix velocityShift(0, 0);
Matrix jointMatrix(0, 0);
Matrix jointAxis(0, 0);

std::vector<std::unique_ptr<Matrix>> linkVelocity;
std::vector<std::unique_ptr<Matrix>> linkMomentum;

namespace {

std::unique_ptr<Matrix> newZeroVector() {
    auto vector = std::make_unique<Matrix>(6, 1);
    vector->zero();
    return vector;
}

}  // namespace

void setupMatrixModel(std::int32_t links) {
    linkMomentum.resize(static_cast<std::size_t>(links));
    linkVelocity.resize(static_cast<std::size_t>(links) + 1);
    for (auto& momentum : linkMomentum) {
        momentum = newZeroVector();
    }
    for (auto& velocity : linkVelocity) {
        velocity = newZeroVector();
    }

    // Mass at the joint's linear rows, the rotational inertia about the joint,
    // and the couplings of the centre of mass at (L/2, 0, 0): the linear
    // momentum gains w x c and the angular momentum gains c x v.
    const float halfMoment = LINK_LENGTH * LINK_MASS * 0.5f;
    const float negativeHalfMoment = LINK_LENGTH * LINK_MASS * -0.5f;
    linkInertia.resize(6, 6);
    linkInertia.zero();
    linkInertia(1, 1) = LINK_MASS;
    linkInertia(2, 2) = LINK_MASS;
    linkInertia(3, 3) = LINK_MASS;
    linkInertia(4, 4) = LINK_INERTIA_X;
    linkInertia(5, 5) = LINK_INERTIA_Y;
    linkInertia(6, 6) = LINK_INERTIA_Z;
    linkInertia(5, 3) = negativeHalfMoment;
    linkInertia(6, 2) = halfMoment;
    linkInertia(2, 6) = halfMoment;
    linkInertia(3, 5) = negativeHalfMoment;

    // Angular part gains (L, 0, 0) x (linear momentum).
    momentumShift.resize(6, 6);
    momentumShift.unity();
    momentumShift(5, 3) = -LINK_LENGTH;
    momentumShift(6, 2) = LINK_LENGTH;

    // Linear part gains (angular velocity) x (L, 0, 0).
    velocityShift.resize(6, 6);
    velocityShift.unity();
    velocityShift(3, 5) = -LINK_LENGTH;
    velocityShift(2, 6) = LINK_LENGTH;

    jointMatrix.resize(6, 6);

    jointAxis.resize(6, 1);
    jointAxis.zero();
    jointAxis(6, 1) = 1.0f;
}

Matrix jointTransform(float angle) {
    Matrix transform(6, "unity");
    const float c = std::cos(angle);
    const float s = std::sin(angle);
    // The same planar rotation acts on the linear and the angular block.
    transform(1, 1) = c;
    transform(2, 2) = c;
    transform(1, 2) = -s;
    transform(2, 1) = s;
    transform(4, 4) = c;
    transform(5, 5) = c;
    transform(5, 4) = s;
    transform(4, 5) = -s;
    return transform;
}

Matrix computeMomenta(Matrix q, Matrix qdot) {
    const auto links = static_cast<std::int32_t>(linkMomentum.size());
    Matrix result(2 * links, 1);
    Matrix& W = jointMatrix;
    const Matrix& I = linkInertia;

    // Outward pass: v_i = (W^T Z) v_(i-1) + S qdot_i, each link's velocity at
    // its joint in its own frame.
    for (std::int32_t i = 1; i <= links; ++i) {
        W = jointTransform(q(i, 1));
        const Matrix jointVelocity = jointAxis * qdot(i, 1);
        const Matrix carried = (W.transpose() * velocityShift) * *linkVelocity[i - 1];
        *linkVelocity[i] = carried + jointVelocity;
    }

    // Inward pass: h_i = I v_i + (X W) h_(i+1), the composite momentum of
    // links i..N about joint i; p_i is its angular component about z.
    *linkMomentum[links - 1] = I * *linkVelocity[links];
    result(links, 1) = (*linkMomentum[links - 1])(6, 1);
    result(2 * links, 1) = q(links, 1);
    for (std::int32_t i = links - 1; i >= 1; --i) {
        W = jointTransform(q(i + 1, 1));
        const Matrix childMomentum = (momentumShift * W) * *linkMomentum[i];
        const Matrix ownMomentum = I * *linkVelocity[i];
        *linkMomentum[i - 1] = ownMomentum + childMomentum;
        result(i, 1) = (*linkMomentum[i - 1])(6, 1);
        result(links + i, 1) = q(i, 1);
    }
    return result;
}
