// engine: umbrella header for the channel engine (flavours, ends, Select).
#pragma once
