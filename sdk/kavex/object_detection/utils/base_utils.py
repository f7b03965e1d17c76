"""Picture helpers of the kavex stand-in SDK.

``draw_roi`` has the same call as in the device SDK; the other helpers are
used by the stand-in detector itself.
"""

import cv2
import numpy as np

ROI_COLOUR = (0, 0, 255)  # BGR red
ROI_THICKNESS = 2


def draw_roi(img, roi):
    """Draw the region polygon ``roi`` ([[x, y], ...]) closed on ``img`` in place.

    Returns ``img`` itself.  A ``roi`` of None or with no points draws nothing.
    """
    if img is None or roi is None:
        return img
    points = np.asarray(roi, dtype=np.int32).reshape(-1, 2)
    if len(points) == 0:
        return img
    cv2.polylines(img, [points.reshape(-1, 1, 2)], True, ROI_COLOUR, ROI_THICKNESS)
    return img


def frame_roi(im):
    """The polygon of the whole picture: its four corner pixels, clockwise."""
    h, w = im.shape[:2]
    return [[0, 0], [w - 1, 0], [w - 1, h - 1], [0, h - 1]]


def to_gray(im):
    """A single-channel view of a grey, BGR or BGRA uint8 picture."""
    if im.ndim == 2:
        return im
    if im.shape[2] == 1:
        return im[:, :, 0]
    if im.shape[2] == 4:
        return cv2.cvtColor(im, cv2.COLOR_BGRA2GRAY)
    return cv2.cvtColor(im, cv2.COLOR_BGR2GRAY)
