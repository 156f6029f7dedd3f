// The read methods (role reader).
import { requestJson, rpc } from "./client";
import type {
  Catalog,
  ProductRow,
  SearchResult,
  TemplateRow,
  TreeDocument,
  TreeType,
  TreeView,
  WhereUsed,
} from "./types";

export const getCatalog = () => rpc<Catalog>("Browse.Catalog");

export const getProducts = (filter = "") =>
  rpc<ProductRow[]>("Browse.Products", filter ? { i_sFilter: filter } : {});

export const getTemplates = () => rpc<TemplateRow[]>("Browse.Templates");

/** The tree as the caller sees it ("" = own working copy if held, else published). */
export const getTree = (treeType: TreeType, id: number, view: "" | TreeView = "") =>
  requestJson<TreeDocument>("GET", `/trees/${treeType}/${id}/json${view ? `?view=${view}` : ""}`);

export const searchEntities = (text: string, repType: number, offset = 0, limit = 50) =>
  rpc<SearchResult>("Browse.SearchEntities", {
    i_sText: text,
    i_lRepType: repType,
    i_lOffset: offset,
    i_lLimit: limit,
  });

export const whereUsed = (repType: number, repId: number) =>
  rpc<WhereUsed>("Repository.WhereUsed", { i_lRepType: repType, i_lRepID: repId, i_lLimit: 1000 });
