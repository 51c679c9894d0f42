// The chain's picture in OpenGL: the fixed view, the links as boxes. The
// overlays are drawn over it.
#pragma once

// The GL state that stays for the whole run: white clear colour, depth test,
// the links' material and one directional light.
void initRenderState();

// The viewport and projection of a width x height window: the same region of
// the chain's plane at any size.
void setChainView(int width, int height);

// The links of the chain's current angles.
void drawChain();

// The shadow chain and the ensemble fan (sim/companions.h), behind the chain.
void drawCompanions();
