# One target per kind of hostile input: <name>_fuzz.cpp, seeds in corpus/<name>/.
set(CAMERA_SETUP_FUZZ_TARGETS dhcp_client dhcp_server dhcp_stream xrm echo_reply config_rewrite config_readback
    helper_request batch_plan)
