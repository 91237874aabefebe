// Statement texts of the geotag database (filled in with the camera chain).
#pragma once
