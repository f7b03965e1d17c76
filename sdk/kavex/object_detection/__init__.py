"""Object detection part of the kavex stand-in SDK.

Import the detector from ``kavex.object_detection.models.builder`` and the
drawing helper from ``kavex.object_detection.utils.base_utils``, as with the
device SDK.
"""
