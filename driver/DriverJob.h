// The jobs a port can run, for the driver's plan and the recipe that names one.
#pragma once

enum class TDriverJob { Upload, Factory, Prepare };
