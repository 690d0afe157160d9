// band_job.cpp: the shared band job record, zero at load
#include "band_job.h"

BandJob Job;
