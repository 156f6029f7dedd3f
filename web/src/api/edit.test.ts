import { afterEach, describe, expect, it, vi } from "vitest";
import { fakeEngine } from "../test/fakeEngine";
import * as edit from "./edit";

afterEach(() => vi.unstubAllGlobals());

const t = { treeType: 1 as const, id: 7 };

describe("engine method wrappers", () => {
  it("send the documented argument names", async () => {
    const engine = fakeEngine(
      Object.fromEntries(
        [
          "TSDOM.AddChildNew", "TSDOM.AddChildFromRep", "TSDOM.SaveNode", "TSDOM.DeleteNode", "TSDOM.MoveNode", "TSDOM.Paste",
          "TSDOM.GetVisibilitiesToAdd", "TSDOM.UndoEditTree", "TSDOM.PublishWithComment", "TSDOM.createTreeFromTree",
          "TSDOM.CreateNewTemplateInfo", "TSDOM.deleteTemplateInfo", "TSDOM.deleteTree",
        ].map((m) => [m, () => 1]),
      ),
    );
    const fields = { short: "S", long: "L", visibilities: ";1;", faqs: ";", hyperlink: -1 };
    await edit.addChildNew(t, 0, 1, fields);
    await edit.addChildFromRep(t, 3, 2, 55, ";1;");
    await edit.saveNode(t, 4, 9, fields, true, false);
    await edit.deleteNode(t, 4);
    await edit.moveNode(t, 4, edit.MOVE_DOWN);
    await edit.paste({ ...t, nodeId: 4 }, { treeType: 2, id: 3, nodeId: 0 }, ";2;");
    await edit.getVisibilitiesToAdd({ ...t, nodeId: 4 }, { treeType: 2, id: 3, nodeId: 0 });
    await edit.undoEdits(t);
    await edit.publish(t, "first", false);
    await edit.createTreeFromTree({ treeType: 2, id: 3 }, t);
    await edit.createTemplateInfo("Paper jam", "", 10);
    await edit.deleteTemplateInfo(3);
    await edit.deleteTree(t);
    const [add, fromRep, save, del, move, paste, vis, undo, pub, copy, tpl, delTpl, delTree] = engine.calls.map((c) => c.params);
    expect(add).toEqual({ i_lTreeType: 1, i_lID: 7, i_lCurrentNodeID: 0, i_lRepType: 1, i_sSDesc: "S", i_sLDesc: "L", i_sVisibilities: ";1;", i_sFAQs: ";", i_lHyperlinkNodeID: -1 });
    expect(fromRep).toMatchObject({ i_lCurrentNodeID: 3, i_lRepType: 2, i_lRepID: 55, i_sVisibilities: ";1;", i_sFAQs: ";", i_lHyperlinkNodeID: -1 });
    expect(save).toEqual({
      i_lTreeType: 1, i_lID: 7, i_lNodeID: 4, i_lRepID: 9, i_sSDesc: "S", i_sLDesc: "L", i_bPropogateContent: true,
      i_sVisibilities: ";1;", i_bPropogateVisibDown: false, i_sFAQs: ";", i_lHyperlinkNodeID: -1,
    });
    expect(del).toEqual({ i_lTreeType: 1, i_lID: 7, i_lNodeID: 4 });
    expect(move).toEqual({ i_lTreeType: 1, i_lID: 7, i_lNodeID: 4, i_lDirection: 2 });
    expect(paste).toEqual({
      i_lSrcTreeType: 1, i_lSrcID: 7, i_lSrcNodeID: 4, i_lDstTreeType: 2, i_lDstID: 3, i_lDstNodeID: 0, i_sSelectedVisibToAdd: ";2;",
    });
    expect(vis).not.toHaveProperty("i_sSelectedVisibToAdd");
    expect(undo).toEqual({ i_lPrID: 7, i_lTreeType: 1 });
    expect(pub).toEqual({ i_lTreeType: 1, i_lID: 7, i_sComment: "first", i_bForce: false });
    expect(copy).toEqual({ i_lSourceTreeType: 2, i_lSourceID: 3, i_lDestTreeType: 1, i_lDestID: 7 });
    expect(tpl).toEqual({ i_sName: "Paper jam", i_sComment: "", i_lProductCategory: 10 });
    expect(delTpl).toEqual({ i_lID: 3 });
    expect(delTree).toEqual({ i_lPrID: 7, i_lTreeType: 1 });
    // The signed-in user is the acting user: no call names one.
    expect(engine.calls.every((c) => !("i_sUserId" in c.params))).toBe(true);
  });

  it("read the out arguments of in/out methods", async () => {
    fakeEngine({
      "TSDOM.CheckOut": () => ({ return: null, o_sOwner: "bob" }),
      "TSDOM.AddTemplateToNode": (p) => ({ return: null, o_lInvalidityReason: p.o_lInvalidityReason }),
    });
    await expect(edit.checkOut(t)).resolves.toBe("bob");
    await expect(edit.addTemplateToNode(3, { ...t, nodeId: 0 }, ";")).resolves.toBe(0);
  });
});
