"""kavex -- stand-in for the kavex device detection SDK.

The real SDK runs on the device and is not available on development or CI
machines.  This small pure-Python package offers the same calls and answer
layout so that the engine builds, runs and is tested without the device.
Detection is done with plain OpenCV: frame differencing for motion
(behaviour 5000001) and the Haar frontal-face cascade for faces
(behaviour 5000002).  It is not meant to match the device's accuracy.
"""

__version__ = "0.1.0"
