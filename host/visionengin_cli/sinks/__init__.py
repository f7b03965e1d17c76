"""Where events leave the device: an MQTT broker (with Home Assistant's
discovery) and webhooks, each fed from an outbox on disk by a thread of its
own."""
