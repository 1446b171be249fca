package tagport.jvmtest;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import android.kq.TagReader;
import org.junit.jupiter.api.Test;

/**
 * An app packaged with libtagport.so but without libtagport_outcome.so: run
 * with a library path that holds the first alone.
 */
class WithoutOutcomeLibraryTest extends ModuleFixture {
  @Test
  void openNamesTheMissingLibraryAndTouchesNoPort() {
    for (int attempt = 0; attempt < 2; ++attempt) {
      final UnsatisfiedLinkError thrown = assertThrows(UnsatisfiedLinkError.class, TagReader::open);
      assertTrue(
          thrown.getMessage()
              .startsWith(
                  "libtagport_outcome.so could not be loaded: TagReader needs it beside"
                      + " libtagport.so (build and package both; "),
          thrown.getMessage());
      assertEquals(0, module.requests().length, "requests sent");
    }
  }
}
