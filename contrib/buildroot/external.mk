include $(sort $(wildcard $(BR2_EXTERNAL_KXSER_PATH)/package/*/*.mk))
