"""mossfit serve in a real browser (headless Chromium through Selenium) and its HTTP
guards: the token, the served directory, uploads, ties."""

import json
import os
import shutil
import threading
import urllib.error
import urllib.request

import numpy as np
import pytest

from mosslib import Baseline, Component, LinearAxis, Transmission
from mosslib.measurement import Spectrum

web = pytest.importorskip("mosslib.web.server")
TRUTH = {"field_T": 33.0, "centre_shift": 0.1}


@pytest.fixture(scope="module")
def served(tmp_path_factory):
    """A directory with a synthetic alpha-iron spectrum (made by the library, Poisson
    noise) and a broken file, served on a free port of 127.0.0.1."""
    if web.vendor_missing():
        pytest.skip("the page's plotting library is not vendored (tools/web/vendor.sh)")
    from werkzeug.serving import make_server
    root = tmp_path_factory.mktemp("served")
    axis = LinearAxis(512, 0.05, 255.5)
    c = Component("sextgen", prefix="fe_")
    model = Transmission(c, baseline=Baseline(0))
    s = Spectrum(np.ones(512), axis=axis)
    p = model.make_params(s)
    c.pair_lines(p)
    p["fe_field_T"].set(value=TRUTH["field_T"])
    p["fe_centre_shift"].set(value=TRUTH["centre_shift"])
    p["base_c0"].set(value=2e5)
    y = model.eval(p, s)
    np.savetxt(root / "iron.txt", np.random.default_rng(3).poisson(y), fmt="%d")
    (root / "broken.txt").write_text("these are\nnot counts\n")
    app = web.create_app(str(root), token="t0k3n")
    server = make_server("127.0.0.1", 0, app, threaded=True)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    yield f"http://127.0.0.1:{server.server_port}", root
    server.shutdown()


def request(url, body=None, token="t0k3n"):
    data = None if body is None else json.dumps(body).encode()
    req = urllib.request.Request(url, data=data, headers={"X-Mosslib-Token": token} if token else {})
    try:
        with urllib.request.urlopen(req, timeout=30) as r:
            return r.status, json.loads(r.read() or b"{}")
    except urllib.error.HTTPError as e:
        return e.code, json.loads(e.read() or b"{}")


def test_requests_are_guarded(served):
    base, _ = served
    assert request(base + "/api/files", token=None)[0] == 403
    assert request(base + "/api/files", token="wrong")[0] == 403
    status, files = request(base + "/api/files")
    assert status == 200 and files["files"] == ["broken.txt", "iron.txt"]
    for bad in ("../../etc/passwd", "/etc/passwd", "broken.txt"):
        status, r = request(base + "/api/open", {"file": bad})
        assert status == 400 and "\n" not in r["error"]
    _, s = request(base + "/api/open", {"file": "iron.txt"})
    request(base + "/api/axis", {"spectrum": s["id"], "axis": "linear:step=0.05,zero=255.5"})
    model = {"spectrum": s["id"], "components": [{"model": "sextgen", "prefix": "a_"}]}
    _, m = request(base + "/api/model", model)
    params = {r["name"]: r for r in m["params"]}
    for tie in ("[x for x in range(10**12)][0]", "__import__('os')", "a_area ** 1e9"):
        params["a_width2"]["expr"] = tie
        status, r = request(base + "/api/model", dict(model, params=params))
        assert status == 400 and "tie" in r["error"]
    big = urllib.request.Request(base + "/api/upload", data=b"0" * (web.MAX_UPLOAD + 1),
                                 headers={"X-Mosslib-Token": "t0k3n",
                                          "Content-Type": "multipart/form-data; boundary=x"})
    with pytest.raises(urllib.error.HTTPError) as e:
        urllib.request.urlopen(big, timeout=30)
    assert e.value.code == 413


def test_open_model_drag_fit_and_export_in_a_browser(served):
    if not (shutil.which("chromium") and shutil.which("chromedriver")):
        pytest.skip("Chromium and its driver are not installed")
    webdriver = pytest.importorskip("selenium.webdriver")
    from selenium.webdriver.chrome.options import Options
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support import expected_conditions as ec
    from selenium.webdriver.support.ui import Select, WebDriverWait

    base, root = served
    options = Options()
    for a in ("--headless=new", "--no-sandbox", "--disable-gpu", "--window-size=1400,1000"):
        options.add_argument(a)
    driver = webdriver.Chrome(service=Service(shutil.which("chromedriver")), options=options)
    wait = WebDriverWait(driver, 120)
    try:
        driver.get(base + "/?token=t0k3n")
        wait.until(lambda d: len(Select(d.find_element(By.ID, "files")).options) == 2)
        Select(driver.find_element(By.ID, "files")).select_by_value("iron.txt")
        driver.find_element(By.ID, "open").click()
        wait.until(ec.text_to_be_present_in_element((By.ID, "tabs"), "iron.txt"))
        driver.find_element(By.ID, "axis").send_keys("linear:step=0.05,zero=255.5")
        driver.find_element(By.ID, "set-axis").click()
        wait.until(ec.text_to_be_present_in_element((By.ID, "axis-info"), "step 0.05"))
        Select(driver.find_element(By.ID, "model-name")).select_by_value("sextgen")
        driver.find_element(By.ID, "add").click()
        row = '#params tr[data-name="c1_field_T"] input.value'
        wait.until(ec.presence_of_element_located((By.CSS_SELECTOR, row)))

        # Dragging line 6 outwards raises the field in proportion to the span.
        before = float(driver.find_element(By.CSS_SELECTOR, row).get_attribute("value"))
        x6 = driver.execute_script(
            "const l = current.lines['c1_']; return [plot.valToPos(l[5], 'x'), "
            "plot.valToPos(l[5] + 0.5, 'x'), (l[5] - l[0]) / 2];")
        over = driver.find_element(By.CSS_SELECTOR, "#plot .u-over")
        from selenium.webdriver.common.action_chains import ActionChains
        top = over.size["height"] // 2
        (ActionChains(driver).move_to_element_with_offset(over, x6[0] - over.size["width"] / 2, 0)
         .click_and_hold().move_by_offset(x6[1] - x6[0], 0).release().perform())
        wait.until(lambda d: float(d.find_element(By.CSS_SELECTOR, row).get_attribute("value"))
                   > before * 1.01)
        del top

        # Start the fit near the truth, as a user placing the lines by eye.
        for name, value in (("c1_field_T", 32.0), ("c1_centre_shift", 0.0)):
            box = driver.find_element(By.CSS_SELECTOR, f'#params tr[data-name="{name}"] input.value')
            box.clear()
            box.send_keys(str(value) + "\n")
        driver.find_element(By.ID, "fit").click()
        verdict = wait.until(ec.presence_of_element_located((By.ID, "verdict-word")))
        assert verdict.text.lower() == "good", driver.find_element(By.ID, "verdict").text
        field = float(driver.find_element(By.CSS_SELECTOR, row).get_attribute("value"))
        assert abs(field - TRUTH["field_T"]) < 0.05
        assert driver.find_element(By.CSS_SELECTOR, '#params tr[data-name="c1_field_T"] .stderr').text
        href = driver.find_element(By.ID, "export-report-txt").get_attribute("href")
        with urllib.request.urlopen(href, timeout=30) as r:
            text = r.read().decode()
            assert text.startswith("verdict: good") and "Fit of iron.txt" in text

        # A broken upload is one line in the page, and the page goes on.
        driver.find_element(By.ID, "upload").send_keys(str(root / "broken.txt"))
        wait.until(lambda d: "broken.txt" in d.find_element(By.ID, "message").text)
        assert "\n" not in driver.find_element(By.ID, "message").text
    finally:
        driver.quit()
