#pragma once

#include "platform/linux/EchoExchange.h"
